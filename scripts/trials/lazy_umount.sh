#!/usr/bin/env bash
# A real backup disk (an ext4 image on a loop device) unmounted lazily in the
# middle of a run, then mounted again: no local record file may be deleted
# while the disk is gone, and once it is back every node must arrive.
# Needs root and loop devices; not part of the test command.
#
#   scripts/trials/lazy_umount.sh [build/release/tools/nvr-backup]
set -euo pipefail
B="$(realpath "${1:-build/release/tools/nvr-backup}")"
D=$(mktemp -d /tmp/nvr-lazy-XXXXXX)
trap 'umount -l "$D/backup" 2>/dev/null || true; rm -rf "$D"' EXIT
localFiles() { find "$D/local/record" -name '*.ts' -not -path '*/.recycle/*' | wc -l; }

mkdir -p "$D/local" "$D/backup"
truncate -s 256M "$D/bk.img"
mkfs.ext4 -q -F "$D/bk.img"
mount -o loop "$D/bk.img" "$D/backup"
cat > "$D/rec.json" <<JSON
{"recordDirs":[{"root":"$D/local","groupId":1,"attribute":4}],
 "policies":[{"deviceId":"cam","cameraId":1,"groupId":1}],
 "backupDirs":[{"root":"$D/backup","groupId":1}]}
JSON
"$B" prepare-disk "$D/backup"
"$B" record --config "$D/rec.json" --device cam --camera 1 --ip 10.0.0.9 --seconds 120 \
  --file-seconds 20 | tail -1
echo "recorded: $(localFiles) files"

"$B" run --config "$D/rec.json" --job cam:1:10.0.0.9 --speed 4 --until-empty \
  --log "$D/run.log" >"$D/run.out" 2>&1 &
pid=$!
sleep 5
before=$(localFiles)
umount -l "$D/backup"
echo "umount -l with $before local files left"
sleep 8
during=$(localFiles)
echo "8 s without the disk: $during local files left, the mount point holds $(ls -A "$D/backup" | wc -l) entries"
mount -o loop "$D/bk.img" "$D/backup"
echo "disk mounted again"
wait "$pid"
echo "run ended with $?; $(localFiles) local files left"
"$B" ls --config "$D/rec.json" | tail -2
echo "log: $(grep -c 'gone or changed' "$D/run.log") disk check(s) failed, $(grep -c 'kept' "$D/run.log") source(s) kept"
[ "$during" -ge "$before" ] && [ "$(localFiles)" -eq 0 ]
