#!/usr/bin/env bash
# check_install.sh BUILD_DIR
# Installs the build into a temporary prefix, checks the installed libraries
# (versioned SONAME, RUNPATH $ORIGIN, no demo code), and builds the host of
# host.cpp against them twice: with CMake through find_package(nvrbackup) and
# with make through pkg-config. Both hosts run without LD_LIBRARY_PATH. A
# C++14 host gets C++17 from the target and the .pc file, and one that forces
# C++14 after them is refused with a message that says so.
set -euo pipefail
build=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
unset LD_LIBRARY_PATH
work=$(mktemp -d "${TMPDIR:-/tmp}/nvr-install.XXXXXX")
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

fail() {
    echo "check_install: $*" >&2
    exit 1
}
step() { echo "--- $*"; }

cxx=$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' "$build/CMakeCache.txt")
: "${cxx:=c++}"

step "install into $prefix"
cmake --install "$build" --prefix "$prefix" >/dev/null
pc=$(find "$prefix" -name nvrbackup.pc)
[ -n "$pc" ] || fail "nvrbackup.pc not installed"
libdir=$(cd "$(dirname "$pc")/.." && pwd)

step "installed libraries in $libdir"
for name in nvrbackup recordlib technic; do
    lib=$libdir/lib$name.so
    [ -e "$lib" ] || fail "$lib missing"
    dyn=$(readelf -d "$lib")
    grep -q "Library soname: \[lib$name.so.0\]" <<<"$dyn" || fail "lib$name.so: no versioned SONAME"
    grep -q 'Library runpath: \[\$ORIGIN\]' <<<"$dyn" || fail "lib$name.so: RUNPATH is not \$ORIGIN"
    if grep -qi 'recorddemo' <<<"$dyn"; then fail "lib$name.so depends on the demo library"; fi
    echo "lib$name.so: $(grep -o 'soname: \[[^]]*\]' <<<"$dyn"), $(grep -o 'runpath: \[[^]]*\]' <<<"$dyn"), $(nm -D --defined-only "$lib" | wc -l) exported symbols"
done
for header in SyntheticCamera.h TsStream.h EmbeddedClips.h; do
    [ -z "$(find "$prefix/include" -name "$header")" ] || fail "demo header $header installed"
done
if nm -DC --defined-only "$libdir/librecordlib.so" | grep -q 'nlohmann\|SyntheticStream\|findEmbeddedClip'; then
    fail "librecordlib.so exports json or demo symbols"
fi

step "host built with CMake (find_package), asking for C++14"
cmake -S "$here/cmake" -B "$work/cmake-host" -DCMAKE_CXX_COMPILER="$cxx" \
    -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_CXX_STANDARD=14 -DCMAKE_EXPORT_COMPILE_COMMANDS=ON \
    >/dev/null
cmake --build "$work/cmake-host" >/dev/null
grep -q -e '-std=c++17' -e '-std=gnu++17' "$work/cmake-host/compile_commands.json" ||
    fail "the nvrbackup::nvrbackup target did not bring C++17"
"$work/cmake-host/nvr-host"

step "host built with make (pkg-config)"
export PKG_CONFIG_PATH=$libdir/pkgconfig
grep -q -e '-std=c++17' <<<"$(pkg-config --cflags nvrbackup)" || fail "nvrbackup.pc does not ask for C++17"
mkdir "$work/pc-host"
make -s -C "$work/pc-host" -f "$here/pkgconfig/Makefile" CXX="$cxx" CXXFLAGS=-std=c++14
"$work/pc-host/nvr-host"

step "a host that forces C++14 after the .pc's flags is refused"
if "$cxx" $(pkg-config --cflags nvrbackup) -std=c++14 -fsyntax-only -x c++ "$here/host.cpp" \
    2>"$work/cxx14.log"; then
    fail "a C++14 build was accepted"
fi
grep -m1 'nvrbackup needs C++17' "$work/cxx14.log" || fail "no clear message for C++14"
echo "check_install: ok"
