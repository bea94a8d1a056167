#!/usr/bin/env bash
# Makes the test clips with ffmpeg's lavfi sources into the given folder.
# A clip that already exists is kept, so a rebuild costs nothing.
set -euo pipefail
dir=${1:?usage: make-media.sh DIR}
mkdir -p "$dir"
cd "$dir"

clip() {
    local name=$1
    shift
    [ -s "$name" ] && return 0
    ffmpeg -nostdin -v error -y "$@" "$name.tmp.${name##*.}"
    mv "$name.tmp.${name##*.}" "$name"
}

# Three seconds of test pattern with a tone: the everyday clip.
clip clip.mp4 -f lavfi -i testsrc2=size=320x240:rate=25 -f lavfi -i sine=frequency=440:sample_rate=48000 \
    -t 3 -c:v libx264 -preset ultrafast -pix_fmt yuv420p -g 25 -c:a aac -shortest
# A tone alone.
clip tone.m4a -f lavfi -i sine=frequency=660:sample_rate=48000 -t 3 -c:a aac
# Track titles that try to break a JSON line: quotes, backslashes, control
# bytes, bytes that are not UTF-8, and ten kilobytes.
hostile=$'say "hi" \\ back\\slash \x01\x1f ctl \xff\xfe bad utf-8 '
clip hostile.mkv -f lavfi -i testsrc2=size=160x120:rate=25 -f lavfi -i sine=frequency=500:sample_rate=48000 \
    -t 1 -c:v libx264 -preset ultrafast -pix_fmt yuv420p -c:a aac -shortest \
    -metadata:s:v:0 title="$hostile" -metadata:s:a:0 title="$(printf 'x%.0s' $(seq 10000))$hostile"
