#!/usr/bin/env bash
# Installs what the build, the tests and the demo need, when it is missing.
# Run as root on a Debian machine (apt-get); otherwise it only checks.
#
# NVR_CROSS names the ARM targets to cross-build for and test under
# qemu-user (default "armhf", which scripts/test.sh runs; "armhf arm64" for
# both, "" for none): Debian's cross compiler, qemu-user and the target's
# libraries as multiarch packages (libgtest-dev:armhf and the like).
set -euo pipefail

# Libraries that exist per architecture are named with the machine's own, so
# that the check is not ambiguous once a target's copy is installed beside.
# clang and its runtime (libFuzzer, sanitizers) build the fuzz targets.
native=$(dpkg --print-architecture)
packages=(cmake g++ make ccache googletest "libgtest-dev:$native" "libgmock-dev:$native"
          "libbenchmark-dev:$native" nlohmann-json3-dev libcli11-dev ffmpeg tstools
          "libspdlog-dev:$native" "zlib1g-dev:$native" clang libclang-rt-14-dev)

cross=(${NVR_CROSS-armhf})
new_arches=()
for arch in "${cross[@]}"; do
  case "$arch" in
    armhf) packages+=(g++-arm-linux-gnueabihf) ;;
    arm64) packages+=(g++-aarch64-linux-gnu) ;;
    *) echo "setup: unknown cross target $arch (armhf or arm64)" >&2; exit 2 ;;
  esac
  packages+=(qemu-user "libgtest-dev:$arch" "libgmock-dev:$arch" "libspdlog-dev:$arch"
             "zlib1g-dev:$arch")
  dpkg --print-foreign-architectures | grep -qx "$arch" || new_arches+=("$arch")
done

missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
  echo "setup: missing packages: ${missing[*]} (run as root to install them)" >&2
  exit 1
fi

echo "setup: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
for arch in "${new_arches[@]}"; do
  dpkg --add-architecture "$arch"
done
# A mirror in the middle of a sync can fail one index; what is needed is
# usually still there, and the install says so if it is not.
apt-get update -qq || echo "setup: apt-get update reported errors, installing anyway" >&2
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
