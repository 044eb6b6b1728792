# Shared part of the Debian cross toolchains: NVR_CROSS_TRIPLET and
# CMAKE_SYSTEM_PROCESSOR are set by the including file.
#
# The libraries come from Debian's multiarch packages (libgtest-dev:armhf and
# the like), which install below the host's own /usr with the triplet in the
# library path, so the root stays "/" and CMAKE_LIBRARY_ARCHITECTURE makes
# find_package pick the target's libraries and CMake packages. Header-only
# packages (nlohmann-json, CLI11) are architecture independent.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${NVR_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${NVR_CROSS_TRIPLET}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${NVR_CROSS_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)

# Test programs run under qemu-user. The target's root is "/": the multiarch
# packages put the target's loader and C library there (/lib/ld-linux-*.so,
# /lib/<triplet>), next to the libraries the tests link. The cross compiler's
# own /usr/<triplet> holds another build of the C library, whose loader must
# not be mixed with the multiarch libc.so (threads crash), so it is not used
# as the emulator's root. Host programs that a test starts (sh, ffmpeg,
# ffprobe) are native and run as they are.
if(CMAKE_SYSTEM_PROCESSOR STREQUAL "arm")
  set(_nvr_qemu qemu-arm)
else()
  set(_nvr_qemu qemu-${CMAKE_SYSTEM_PROCESSOR})
endif()
find_program(NVR_QEMU ${_nvr_qemu})
if(NOT NVR_QEMU)
  # The build lists each test program's cases by running it.
  message(FATAL_ERROR "${_nvr_qemu} not found: the test programs run under it "
                      "(Debian package qemu-user; scripts/setup.sh installs it)")
endif()
set(CMAKE_CROSSCOMPILING_EMULATOR ${NVR_QEMU} -L /)
