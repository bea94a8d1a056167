#!/usr/bin/env bash
# Shows the engine at work: builds it, makes a short sample clip, plays it
# with a small scripted host, prints what the engine reported and what came
# on the frame pipe, and saves one frame as build/demo-frame.png. Then, through
# the host library, writes a contact sheet of the frames landed at six seek
# positions as build/demo-contact-sheet.png. Needs no display.
#   scripts/demo.sh [CLIP]   (default: a 3-second test pattern with a tone)
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target vexolo-engine >/dev/null
scripts/make-media.sh build/media
clip=${1:-build/media/clip.mp4}

# Headless machines have no sound card: give the engine a private sound
# server with a null sink when there is one to start, and a null ALSA sink.
home=$(mktemp -d)
pulse_pid=
stop_sound() {
    if [ -n "$pulse_pid" ]; then
        kill "$pulse_pid" 2>/dev/null || true
        wait "$pulse_pid" 2>/dev/null || true
    fi
    rm -rf "$home"
}
trap stop_sound EXIT
printf 'pcm.!default { type null }\nctl.!default { type hw card 0 }\n' >"$home/.asoundrc"
unset PULSE_SERVER
if command -v pulseaudio >/dev/null; then
    HOME=$home pulseaudio --daemonize=no --exit-idle-time=-1 --use-pid-file=no -n --load=module-null-sink \
        --load="module-native-protocol-unix auth-anonymous=1 socket=$home/pulse-native" \
        --log-target=stderr --log-level=0 </dev/null >"$home/pulse.log" 2>&1 &
    pulse_pid=$!
    for _ in $(seq 300); do
        [ -S "$home/pulse-native" ] && break
        kill -0 "$pulse_pid" 2>/dev/null || break
        sleep 0.01
    done
    if [ -S "$home/pulse-native" ]; then
        export PULSE_SERVER=unix:$home/pulse-native
    else
        echo "demo: the sound server did not start; playing without it" >&2
    fi
fi
HOME=$home python3 scripts/demo-host.py build/vexolo-engine "$clip" build/demo-frame.png
scripts/sdk-packages.sh
(cd sdk && npm run --silent build)
HOME=$home node sdk/dist/demo/contact-sheet.js build/vexolo-engine "$clip" build/demo-contact-sheet.png
