#!/usr/bin/env bash
# Plants the faults of faults.txt, one at a time, into a scratch copy of the
# project (a detached worktree of HEAD in a temporary folder), rebuilds, runs
# the test suite, and tells for each fault whether the suite caught it (at
# least one test failed) or missed it. Exits 1 when a fault was missed or its
# build failed, 2 when a fault no longer matches the code or the untouched
# suite fails already. Not part of the test command.
#
#   scripts/faults/plant.sh [options] [ID...]     (every fault when no ID)
#     --quick          leave out the long tests (NVR_FAULTS_LONG, a ctest -E
#                      regex) from every run
#     -E REGEX         leave out these tests as well (ctest -E)
#     --keep           keep the scratch copy (its path is printed)
#     --logs DIR       where the build and test logs go (default: a new
#                      folder /tmp/nvr-faults-logs.XXXXXX, kept)
#
# A fault with "preset: tsan" is caught by the thread-sanitizer build: that
# build is made once too, when such a fault is chosen. The compiler cache
# (CCACHE_DIR, default /root/.ccache-nvr) makes each rebuild compile only the
# file a fault changed, and the revert that follows.
set -euo pipefail

# The whole script is read before it runs: an edit of this file during a run
# does not change the run.
{
here=$(cd "$(dirname "$0")" && pwd)
repo=$(git -C "$here" rev-parse --show-toplevel)
faults="$here/faults.txt"
helper=(python3 "$here/faults.py" "$faults")

quick=0
keep=0
exclude=""
logs=""
ids=()
while [ $# -gt 0 ]; do
  case "$1" in
    --quick) quick=1 ;;
    --keep) keep=1 ;;
    -E) exclude="$2"; shift ;;
    --logs) logs="$2"; shift ;;
    -h | --help) sed -n '2,20p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    -*) echo "plant: unknown option $1" >&2; exit 2 ;;
    *) ids+=("$1") ;;
  esac
  shift
done
if [ ${#ids[@]} -eq 0 ]; then
  read -r -a ids <<<"$("${helper[@]}" ids)"
fi

# The tests that take longest (about half of the suite's 36 s on the 2-core
# machine): the kill-restart run, the installed copy's check, the program's
# invocations.
long_tests="${NVR_FAULTS_LONG:-KillRestartTest|install_check|CliTest}"
skip="$exclude"
if [ $quick -eq 1 ]; then skip="${skip:+$skip|}$long_tests"; fi

# Every chosen fault must still match the code before anything is built.
"${helper[@]}" check "$repo" "${ids[@]}"

export CCACHE_DIR="${CCACHE_DIR:-/root/.ccache-nvr}"
# One fixed folder, so that the compiler cache finds the objects of the last
# run (the paths are part of what it hashes; relative ones would change
# __FILE__, which the tests of the allocation tags compare).
scratch="${NVR_FAULTS_SCRATCH:-/tmp/nvr-faults}"
src="$scratch/src"
if ! mkdir "$scratch" 2>/dev/null; then
  if [ -f "$scratch/pid" ] && kill -0 "$(cat "$scratch/pid")" 2>/dev/null; then
    echo "plant: another run ($(cat "$scratch/pid")) uses $scratch" >&2
    exit 2
  fi
  echo "plant: removing the scratch copy a stopped run left in $scratch"
  git -C "$repo" worktree remove --force "$src" >/dev/null 2>&1 || true
  rm -rf "$scratch"
  git -C "$repo" worktree prune
  mkdir "$scratch"
fi
echo $$ >"$scratch/pid"
if [ -z "$logs" ]; then logs=$(mktemp -d /tmp/nvr-faults-logs.XXXXXX); fi
mkdir -p "$logs"

cleanup() {
  if [ $keep -eq 1 ]; then
    echo "plant: scratch copy kept in $src"
    return
  fi
  git -C "$repo" worktree remove --force "$src" >/dev/null 2>&1 || true
  rm -rf "$scratch"
  git -C "$repo" worktree prune
}
trap cleanup EXIT

git -C "$repo" worktree add --detach "$src" HEAD >/dev/null 2>&1
echo "plant: scratch copy of $(git -C "$src" rev-parse --short HEAD) in $src; logs in $logs"

# The builds that the chosen faults need, each made and checked once.
presets=()
for id in "${ids[@]}"; do
  p=$("${helper[@]}" field "$id" preset)
  p=${p:-release}
  if [[ " ${presets[*]} " != *" $p "* ]]; then presets+=("$p"); fi
done

build() {  # build PRESET LOG
  (cd "$src" && cmake --build --preset "$1" -j2) >"$2" 2>&1
}

# Runs the suite of PRESET; prints the names of the failed tests, one a line.
run_tests() {  # run_tests PRESET LOG
  local args=(--preset "$1" -j2 --timeout 120)
  if [ -n "$skip" ]; then args+=(-E "$skip"); fi
  local rc=0
  (cd "$src" && ctest "${args[@]}") >"$2" 2>&1 || rc=$?
  # "  12 - Suite.Name (Failed)" after "The following tests FAILED:".
  sed -n '/The following tests FAILED:/,$ s/^[[:space:]]*[0-9]\+ - \(.*\) (\(.*\))$/\1/p' "$2"
  if [ $rc -ne 0 ] && ! grep -q 'The following tests FAILED:' "$2"; then
    echo "ctest-exited-$rc-naming-no-test"
  fi
}

start=$SECONDS
for p in "${presets[@]}"; do
  t=$SECONDS
  (cd "$src" && cmake --preset "$p") >"$logs/configure-$p.log" 2>&1 ||
    { echo "plant: configure $p failed, see $logs/configure-$p.log" >&2; exit 2; }
  build "$p" "$logs/build-$p.log" ||
    { echo "plant: build $p failed, see $logs/build-$p.log" >&2; exit 2; }
  failed=$(run_tests "$p" "$logs/tests-$p-untouched.log")
  if [ -n "$failed" ]; then
    echo "plant: the untouched $p suite fails already, no fault can be judged:" >&2
    echo "$failed" | sed 's/^/  /' >&2
    exit 2
  fi
  echo "plant: $p built and passed untouched in $((SECONDS - t)) s"
done

declare -A result tests seconds
missed=0
for id in "${ids[@]}"; do
  t=$SECONDS
  preset=$("${helper[@]}" field "$id" preset)
  preset=${preset:-release}
  file=$("${helper[@]}" apply "$src" "$id")
  echo "plant: $id ($preset): $("${helper[@]}" field "$id" what)"
  if ! build "$preset" "$logs/build-$id.log"; then
    result[$id]="BUILD FAILED"
    tests[$id]="$logs/build-$id.log"
    missed=1
  else
    failed=$(run_tests "$preset" "$logs/tests-$id.log")
    if [ -n "$failed" ]; then
      result[$id]=caught
      tests[$id]=$(echo "$failed" | paste -sd' ')
    else
      result[$id]=MISSED
      tests[$id]="-"
      missed=1
    fi
  fi
  git -C "$src" checkout -q -- "$file"
  seconds[$id]=$((SECONDS - t))
  echo "plant: $id ${result[$id]} in ${seconds[$id]} s: ${tests[$id]}"
done

echo
printf '%-5s %-8s %-12s %5s  %s\n' fault build result time "what it imitates / the tests that failed"
for id in "${ids[@]}"; do
  preset=$("${helper[@]}" field "$id" preset)
  printf '%-5s %-8s %-12s %4ss  %s\n' "$id" "${preset:-release}" "${result[$id]}" \
    "${seconds[$id]}" "$("${helper[@]}" field "$id" what)"
  printf '%s\n' "${tests[$id]}" | tr ' ' '\n' | sed 's/^/                                    /'
done
echo
echo "plant: ${#ids[@]} fault(s) in $((SECONDS - start)) s${skip:+ (tests left out: $skip)}; logs in $logs"
exit $missed
}
