#!/usr/bin/env bash
# The system calls of one whole move (one camera, 10 minutes in 10 record
# files, clock speed 0), counted by strace: bench/move_syscalls.sh BIN
B="$1"; D=$(mktemp -d /tmp/nvr-st-XXXXXX)
mkdir -p $D/disks/local $D/disks/backup
cat > $D/rec.json <<JSON
{"recordDirs":[{"root":"$D/disks/local","groupId":1,"attribute":4}],
 "policies":[{"deviceId":"bench","cameraId":1,"groupId":1}],
 "backupDirs":[{"root":"$D/disks/backup","groupId":1}]}
JSON
printf 'nvr-backup-disk 1\nid=%s\n' 0123456789abcdef0123456789abcdef > $D/disks/backup/.nvr-backup-disk
"$B" record --config $D/rec.json --device bench --camera 1 --ip 10.0.0.1 --seconds 600 --file-seconds 60 >/dev/null
sync
strace -f -c -e trace=fsync,fdatasync,rename,unlink,openat,write,statfs "$B" run --config $D/rec.json --job bench:1:10.0.0.1 --speed 0 --until-empty 2>&1 >/dev/null | grep -E 'fsync|rename|unlink|openat|write|statfs|total'
rm -rf $D
