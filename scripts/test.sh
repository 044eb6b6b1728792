#!/usr/bin/env bash
# Sets up, builds and runs every test in the three builds: release,
# address+undefined sanitizers and thread sanitizer (each also replays the
# fuzz corpus); then builds the fuzz targets with clang and runs each for
# NVR_FUZZ_SECONDS (default 20).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
export CCACHE_DIR="${CCACHE_DIR:-$PWD/build/.ccache}"

presets=(${NVR_PRESETS:-release asan tsan fuzz})
for preset in "${presets[@]}"; do
  echo "=== $preset ==="
  if [ "$preset" = fuzz ]; then
    cmake --preset fuzz -DNVR_FUZZ_SECONDS="${NVR_FUZZ_SECONDS:-20}" >/dev/null
  else
    cmake --preset "$preset" >/dev/null
  fi
  cmake --build --preset "$preset"
  ctest --preset "$preset"
done
