# Cross build for 64-bit ARM (arm64) with Debian's cross compiler and the
# :arm64 multiarch packages of the libraries. Tests run under qemu-aarch64.
set(NVR_CROSS_TRIPLET aarch64-linux-gnu)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/DebianCross.cmake)
