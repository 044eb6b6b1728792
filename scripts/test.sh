#!/usr/bin/env bash
# Sets up, builds and runs every test in the three builds: release,
# address+undefined sanitizers and thread sanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
export CCACHE_DIR="${CCACHE_DIR:-$PWD/build/.ccache}"

presets=(${NVR_PRESETS:-release asan tsan})
for preset in "${presets[@]}"; do
  echo "=== $preset ==="
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  ctest --preset "$preset"
done
