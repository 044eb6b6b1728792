#!/bin/sh
# Makes the clips that the synthetic camera loops (recorddemo/TsStream.cpp).
# Run once by hand; the outputs are kept in this folder and embedded into the
# demo library at build time, so nothing here runs during a build.
#
#   clip_<W>x<H>_<codec>.es      elementary stream in Annex-B form, access units
#                                in decode order, each with its parameter sets
#                                where it is a key frame
#   clip_<W>x<H>_<codec>.frames  one line per access unit in decode order:
#                                "<bytes> <PTS minus DTS in frames> <key 0/1>"
#   clip_audio.mp2               MPEG-1 Layer II, 48 kHz mono, 64 kbit/s
#
# Every clip is 4 s at 25 fps with a key frame every 50 frames (closed GOPs,
# two B-frames), so the camera may loop or switch clips at any key frame.
set -eu
cd "$(dirname "$0")"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

video_clip() { # <width> <height> <codec name> <encoder> <encoder options...>
    w=$1 h=$2 name=$3 enc=$4
    shift 4
    out=clip_${w}x${h}_${name}
    ffmpeg -v error -y -f lavfi -i "testsrc2=size=${w}x${h}:rate=25" -t 4 \
        -c:v "$enc" -pix_fmt yuv420p -bf 2 -g 50 "$@" -f mpegts "$tmp/$out.ts"
    ffmpeg -v error -y -i "$tmp/$out.ts" -c:v copy -f "$name" "$out.es"
    # size, PTS-DTS in frames (3600 ticks at 25 fps), key flag
    ffprobe -v error -select_streams v:0 -show_entries packet=size,pts,dts,flags \
        -of csv=p=0 "$tmp/$out.ts" |
        awk -F, 'NF >= 4 { printf "%d %d %d\n", $3, ($1 - $2) / 3600, (index($4, "K") > 0) }' \
        >"$out.frames"
}

video_clip 640 360 h264 libx264 -preset medium -crf 32 -profile:v main \
    -x264-params keyint=50:min-keyint=50:scenecut=0:open-gop=0:bframes=2:b-adapt=0
video_clip 320 180 h264 libx264 -preset medium -crf 32 -profile:v main \
    -x264-params keyint=50:min-keyint=50:scenecut=0:open-gop=0:bframes=2:b-adapt=0
video_clip 640 360 hevc libx265 -preset medium -crf 34 \
    -x265-params keyint=50:min-keyint=50:scenecut=0:open-gop=0:bframes=2:b-adapt=0:repeat-headers=1:log-level=error

ffmpeg -v error -y -f lavfi -i "sine=frequency=440:sample_rate=48000" -t 4 -ac 1 \
    -c:a mp2 -b:a 64k -f mp2 clip_audio.mp2
