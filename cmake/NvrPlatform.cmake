# 64-bit file sizes, offsets, inode numbers and times on every target, in
# one place. On a 32-bit ARM recorder long and off_t are 32-bit without
# these: stat and ftruncate fail on a record file of 2 GiB or more, and
# readdir answers EOVERFLOW on a file system with 64-bit inode numbers. On
# 64-bit targets the definitions change nothing.
#
# No installed header uses off_t, time_t or struct stat (sizes and times
# there are long long), so a host that includes them needs none of this.
include(CheckCXXSourceCompiles)

add_compile_definitions(_FILE_OFFSET_BITS=64)

# glibc 2.34 and later also give a 64-bit time_t on 32-bit targets, so
# times past 2038 work; older C libraries ignore the request, and then it
# is left out.
set(CMAKE_REQUIRED_DEFINITIONS -D_FILE_OFFSET_BITS=64 -D_TIME_BITS=64)
check_cxx_source_compiles([=[
#include <sys/types.h>
#include <ctime>
static_assert(sizeof(time_t) == 8 && sizeof(off_t) == 8, "32-bit time_t or off_t");
int main() { return 0; }
]=] NVR_HAVE_TIME_BITS_64)
unset(CMAKE_REQUIRED_DEFINITIONS)
if(NVR_HAVE_TIME_BITS_64)
  add_compile_definitions(_TIME_BITS=64)
elseif(CMAKE_SIZEOF_VOID_P EQUAL 4)
  message(WARNING "The C library has no 64-bit time_t for this 32-bit target")
endif()

# On 32-bit ARM, GCC notes at every std::vector<T>::insert that the passing of
# such arguments changed in GCC 7.1; the program is built with one compiler,
# so the notes only hide real diagnostics.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_SYSTEM_PROCESSOR MATCHES "^arm")
  add_compile_options(-Wno-psabi)
endif()
