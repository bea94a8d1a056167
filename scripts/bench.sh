#!/usr/bin/env bash
# The engine's benchmark: the frame path in BGRX and in I420 against an ffmpeg
# pipe of each, the host library's side of it, control latency, bursts,
# start-up, memory, seeks beside GStreamer's and mpv's, and scrub previews, on clips made here
# with ffmpeg. Prints one table with each goal beside its figure and writes
# build/bench.json. It is a benchmark, not a test: it asserts nothing of the
# figures, and fails only when a step could not take them. CI runs --only
# startup as a smoke run.
#   scripts/bench.sh [--engine PATH] [--only frames,host,4k,latency,burst,startup,memory,seek,speed,preview]
set -euo pipefail
cd "$(dirname "$0")/.."

engine=
only=frames,host,4k,latency,burst,startup,memory,seek,speed,preview
while [ $# -gt 0 ]; do
    case "$1" in
    --engine) engine=$(realpath "$2"); shift 2 ;;
    --only) only=$2; shift 2 ;;
    *) echo "usage: scripts/bench.sh [--engine PATH] [--only STEPS]" >&2; exit 2 ;;
    esac
done

wants() {
    local step
    for step in "$@"; do [[ ",$only," == *",$step,"* ]] && return 0; done
    return 1
}
# GStreamer and mpv only for the step that runs them.
if wants seek; then scripts/setup.sh --bench; else scripts/setup.sh; fi
if [ -z "$engine" ]; then
    cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build build -j"$(nproc)" --target vexolo-engine >/dev/null
    engine=$PWD/build/vexolo-engine
fi
# The host library, for its side of the frame path.
scripts/sdk-packages.sh
(cd sdk && npx tsc -p .)
mkdir -p build/bench
g++ -O2 -std=c++20 -Wall -Wextra -Werror -o build/bench/frame-reader bench/frame_reader.cpp
g++ -O2 -std=c++20 -Wall -Wextra -Werror -Iengine -o build/bench/bare-start bench/bare_start.cpp \
    $(pkg-config --cflags --libs libvlc)

# The clips the steps asked for use, made once: video only, so that the engine
# and ffmpeg decode the same.
media=build/bench/media
mkdir -p "$media"
clip() {
    local name=$1
    shift
    [ -s "$media/$name" ] && return 0
    echo "bench: making $name" >&2
    ffmpeg -nostdin -v error -y "$@" "$media/tmp.${name##*.}"
    mv "$media/tmp.${name##*.}" "$media/$name"
}
wants frames host latency startup speed && clip bench-1080p.mp4 -f lavfi -i testsrc2=size=1920x1080:rate=30 -t 10 -c:v libx264 -preset superfast \
    -pix_fmt yuv420p -g 60
wants 4k && clip bench-4k.mp4 -f lavfi -i testsrc2=size=3840x2160:rate=30 -t 5 -c:v libx264 -preset superfast \
    -pix_fmt yuv420p -g 60
# Seeks: 640x360 at 25 fps and 1080p at 30 fps, a key frame each second, the
# test pattern with each picture's number drawn on a black band across its
# middle, in ten blocks white for a set bit (lowest on the left) as
# scripts/make-media.sh draws them, so that the picture a player landed on
# tells which it is.
numbered() {
    local f="$1,drawbox=x=0:y=ih*2/5:w=iw:h=ih/5:color=black:t=fill"
    for k in 0 1 2 3 4 5 6 7 8 9; do
        f+=",drawbox=x=iw*$k/10+iw/40:y=ih*2/5:w=iw/20:h=ih/5:color=white:t=fill:enable='bitand(n,$((1 << k)))'"
    done
    echo "$f"
}
wants seek speed && clip bench-count-360.mp4 -f lavfi -i "$(numbered testsrc2=size=640x360:rate=25)" -t 10 -c:v libx264 \
    -preset veryfast -pix_fmt yuv420p -g 25
wants seek preview && clip bench-count-1080p.mp4 -f lavfi -i "$(numbered testsrc2=size=1920x1080:rate=30)" -t 10 -c:v libx264 \
    -preset superfast -pix_fmt yuv420p -g 30
# Loops: 2 s of 640x360 at 25 fps.
wants speed && clip bench-loop-360.mp4 -f lavfi -i testsrc2=size=640x360:rate=25 -t 2 -c:v libx264 -preset veryfast \
    -pix_fmt yuv420p -g 25
# The small clip of the load/stop cycles has sound, as most media do.
wants burst memory && clip bench-small.mp4 -f lavfi -i testsrc2=size=320x240:rate=25 -f lavfi -i sine=frequency=440:sample_rate=48000 \
    -t 3 -c:v libx264 -preset ultrafast -pix_fmt yuv420p -g 25 -c:a aac -shortest
# One MPEG-TS whose size changes 100 times: 101 parts of 3 frames, 640x360 and 1280x720 in turn.
if wants memory && [ ! -s "$media/bench-sizes.ts" ]; then
    echo "bench: making bench-sizes.ts" >&2
    for size in 640x360 1280x720; do
        ffmpeg -nostdin -v error -y -f lavfi -i "testsrc2=size=$size:rate=30" -frames:v 3 -c:v libx264 \
            -preset ultrafast -pix_fmt yuv420p -f mpegts "$media/part-$size.ts"
    done
    for i in $(seq 0 100); do
        [ $((i % 2)) -eq 0 ] && size=640x360 || size=1280x720
        echo "file 'part-$size.ts'"
    done >"$media/sizes.txt"
    ffmpeg -nostdin -v error -y -f concat -i "$media/sizes.txt" -c copy -f mpegts "$media/tmp.ts"
    mv "$media/tmp.ts" "$media/bench-sizes.ts"
    rm "$media"/part-*.ts "$media/sizes.txt"
fi

# The bare instance takes the engine's options, its display module's among
# them: it finds that module where the engine does, beside it.
plugins=$(dirname "$engine")/plugins
[ -d "$plugins" ] || plugins=$(dirname "$engine")/../lib/vexolo-engine
# GStreamer's Python bindings come with Debian's own python3, which a python3
# earlier in PATH (pyenv's, a virtual environment's) does not see.
python=python3
for candidate in /usr/bin/python3 python3; do
    if "$candidate" -c 'import gi' 2>/dev/null; then
        python=$candidate
        break
    fi
done
. scripts/private-home.sh
HOME=$home VLC_PLUGIN_PATH=$plugins "$python" bench/bench.py --engine "$engine" --reader build/bench/frame-reader \
    --bare build/bench/bare-start --media "$PWD/$media" --json build/bench.json --only "$only"
