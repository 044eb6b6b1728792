#!/usr/bin/env bash
# Sets up, builds and runs every test in five builds: release, address+
# undefined sanitizers and thread sanitizer (each also replays the fuzz
# corpus), the fuzz targets built with clang (each run NVR_FUZZ_SECONDS,
# default 20), and the 32-bit ARM (armhf) cross build, whose tests run under
# qemu-user. NVR_PRESETS picks others (arm64 too, for example).
set -euo pipefail
cd "$(dirname "$0")/.."

presets=(${NVR_PRESETS:-release asan tsan fuzz armhf})
cross=()
for preset in "${presets[@]}"; do
  case "$preset" in armhf | arm64) cross+=("$preset") ;; esac
done
NVR_CROSS="${cross[*]}" bash scripts/setup.sh
export CCACHE_DIR="${CCACHE_DIR:-$PWD/build/.ccache}"

for preset in "${presets[@]}"; do
  echo "=== $preset ==="
  start=$SECONDS
  if [ "$preset" = fuzz ]; then
    cmake --preset fuzz -DNVR_FUZZ_SECONDS="${NVR_FUZZ_SECONDS:-20}" >/dev/null
  else
    cmake --preset "$preset" >/dev/null
  fi
  cmake --build --preset "$preset"
  ctest --preset "$preset"
  echo "=== $preset: $((SECONDS - start)) s ==="
done
bash scripts/count_lines.sh
