#!/usr/bin/env bash
# The whole move by the program (clock speed 0, so no pacing waits), against
# `cp -r` of the same record files followed by `sync`, on the same disk.
# Rounds alternate which of the two goes first; each is timed as a whole
# command after the disks were restored from one recording and synced.
# Prints every round, then the medians and the median of the per-round ratios.
#
#   bench/move_vs_copy.sh [--bin build/release/tools/nvr-backup] [--cameras 4]
#                         [--minutes 10] [--rounds 5] [--dir /tmp/nvr-move-bench]
set -euo pipefail
cd "$(dirname "$0")/.."

bin=build/release/tools/nvr-backup
cameras=4
minutes=10
rounds=5
dir=/tmp/nvr-move-bench
while [ $# -gt 0 ]; do
  case "$1" in
    --bin) bin="$2"; shift 2 ;;
    --cameras) cameras="$2"; shift 2 ;;
    --minutes) minutes="$2"; shift 2 ;;
    --rounds) rounds="$2"; shift 2 ;;
    --dir) dir="$2"; shift 2 ;;
    *) echo "usage: $0 [--bin PATH] [--cameras N] [--minutes N] [--rounds N] [--dir DIR]" >&2; exit 2 ;;
  esac
done
bin="$(realpath "$bin")"

rm -rf "$dir"
mkdir -p "$dir/disks/local" "$dir/disks/backup"
policies=""
jobs=()
for c in $(seq 1 "$cameras"); do
  policies+="${policies:+,}{\"deviceId\":\"bench\",\"cameraId\":$c,\"groupId\":1}"
  jobs+=(--job "bench:$c:10.0.0.1")
done
cat > "$dir/rec.json" <<JSON
{"recordDirs":[{"root":"$dir/disks/local","groupId":1,"attribute":4}],
 "policies":[$policies],
 "backupDirs":[{"root":"$dir/disks/backup","groupId":1}]}
JSON
# A prepared backup disk (a program that predates the marker ignores it).
printf 'nvr-backup-disk 1\nid=%s\n' "$(head -c16 /dev/urandom | od -An -tx1 | tr -d ' \n')" \
  > "$dir/disks/backup/.nvr-backup-disk"
for c in $(seq 1 "$cameras"); do
  "$bin" record --config "$dir/rec.json" --device bench --camera "$c" --ip 10.0.0.1 \
    --seconds $((minutes * 60)) --file-seconds 60 >/dev/null
done
cp -a "$dir/disks" "$dir/pristine"
bytes=$(du -sb "$dir/pristine/local" | cut -f1)

restore() {
  rm -rf "$dir/disks" "$dir/copy"
  cp -a "$dir/pristine" "$dir/disks"
  sync
}
seconds() {  # runs the command, prints its wall time in seconds
  local t0 t1
  t0=$(date +%s.%N)
  "$@" >/dev/null 2>&1
  t1=$(date +%s.%N)
  awk -v a="$t0" -v b="$t1" 'BEGIN {printf "%.6f", b - a}'
}
move() { "$bin" run --config "$dir/rec.json" "${jobs[@]}" --speed 0 --until-empty; }
localFiles() { find "$dir/disks/local/record" -name '*.ts' -not -path '*/.recycle/*' | wc -l; }
copy() { cp -r "$dir/disks/local/record" "$dir/copy" && sync; }

echo "recorded: $cameras camera(s) x $minutes min, $bytes bytes; $rounds rounds"
moves=(); copies=(); ratios=()
for r in $(seq 1 "$rounds"); do
  if [ $((r % 2)) -eq 1 ]; then
    restore; m=$(seconds move); left=$(localFiles); restore; c=$(seconds copy)
  else
    restore; c=$(seconds copy); restore; m=$(seconds move); left=$(localFiles)
  fi
  ratio=$(awk -v a="$m" -v b="$c" 'BEGIN {printf "%.6f", a / b}')
  printf 'round %d: move %.3f s, cp+sync %.3f s, ratio %.2f, local files left %d\n' \
    "$r" "$m" "$c" "$ratio" "$left"
  moves+=("$m"); copies+=("$c"); ratios+=("$ratio")
done
median() { printf '%s\n' "$@" | sort -g | awk '{a[NR]=$1} END {print (NR%2) ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2}'; }
printf 'median: move %.3f s, cp+sync %.3f s, ratio %.2f\n' \
  "$(median "${moves[@]}")" "$(median "${copies[@]}")" "$(median "${ratios[@]}")"
rm -rf "$dir"
