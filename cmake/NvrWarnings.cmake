# Warning and sanitizer flags in one place. Every target of the project links
# nvr_copts; test targets link nvr_test_copts, which is a little looser.
add_library(nvr_copts INTERFACE)
target_compile_options(nvr_copts INTERFACE -Wall -Wextra -Werror)
if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  # The host's record types keep fields of the host's interface (a recycle
  # bin's disk type) that this reference host does not read.
  target_compile_options(nvr_copts INTERFACE -Wno-unused-private-field)
endif()

add_library(nvr_test_copts INTERFACE)
target_compile_options(nvr_test_copts INTERFACE -Wall -Wextra -Werror -Wno-unused-parameter)

if(NVR_SANITIZE)
  set(_nvr_san_flags -fsanitize=${NVR_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_compile_options(${_nvr_san_flags})
  add_link_options(${_nvr_san_flags})
endif()
