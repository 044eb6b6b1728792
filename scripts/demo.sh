#!/usr/bin/env bash
# Sets up the machine, builds the release build and runs the demo recorder:
# two cameras recorded onto two local disks, moved to a backup disk.
#   scripts/demo.sh [DIR] [nvr-backup demo options...]
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
export CCACHE_DIR="${CCACHE_DIR:-$PWD/build/.ccache}"
cmake --preset release >/dev/null
cmake --build --preset release --target nvr-backup
exec build/release/tools/nvr-backup demo "$@"
