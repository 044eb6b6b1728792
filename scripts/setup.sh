#!/usr/bin/env bash
# Installs what the build, the tests and the demo need, when it is missing.
# Run as root on a Debian machine (apt-get); otherwise it only checks.
set -euo pipefail

# clang and its runtime (libFuzzer, sanitizers) build the fuzz targets.
packages=(cmake g++ make ccache googletest libgtest-dev libgmock-dev libbenchmark-dev
          nlohmann-json3-dev libcli11-dev ffmpeg tstools libspdlog-dev clang libclang-rt-14-dev)

# Installed for this machine's own architecture (other architectures of the
# same package may be installed beside it for cross builds).
native=$(dpkg --print-architecture)
installed() {
  dpkg-query -W -f='${Architecture} ${db:Status-Status}\n' "$1" 2>/dev/null |
    grep -Eq "^($native|all) installed$"
}

missing=()
for p in "${packages[@]}"; do
  installed "$p" || missing+=("$p")
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
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
