# Cross build for 32-bit ARM (armhf: ARMv7, hard float) with Debian's cross
# compiler and the :armhf multiarch packages of the libraries
# (scripts/setup.sh installs both). Tests run under qemu-arm.
set(NVR_CROSS_TRIPLET arm-linux-gnueabihf)
set(CMAKE_SYSTEM_PROCESSOR arm)
include(${CMAKE_CURRENT_LIST_DIR}/DebianCross.cmake)
