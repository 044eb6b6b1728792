#!/usr/bin/env bash
# Non-blank lines of the tests against the code they test (the module and
# the reference host and the program; not the demo library), and their ratio. The
# project keeps the tests between a quarter and a third of the code.
set -euo pipefail
cd "$(dirname "$0")/.."
count() { git ls-files -- "$@" | grep -E '\.(cpp|h)$' | xargs cat | grep -cv '^[[:space:]]*$'; }
tests=$(count tests)
code=$(count backup technic recordlib tools)
awk -v t="$tests" -v c="$code" 'BEGIN {
  printf "tests: %d non-blank lines, code: %d, ratio %.2f (at most 0.33)\n", t, c, t / c }'
