#!/usr/bin/env bash
# Opt-in soak test, not part of CI: plays an endless live stream from a
# loopback ffmpeg server for SECONDS (default an hour) and prints the engine's
# memory, threads and descriptors every minute.
#   scripts/soak.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-3600}

scripts/setup.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target vexolo-engine >/dev/null

home=$(mktemp -d)
pulse=
cleanup() {
    [ -n "$pulse" ] && kill "$pulse" 2>/dev/null
    rm -rf "$home"
}
trap cleanup EXIT
if command -v pulseaudio >/dev/null; then
    HOME=$home pulseaudio --daemonize=no --exit-idle-time=-1 --use-pid-file=no -n --load=module-null-sink \
        --load="module-native-protocol-unix auth-anonymous=1 socket=$home/pulse-native" >/dev/null 2>&1 &
    pulse=$!
    export PULSE_SERVER=unix:$home/pulse-native
fi
printf 'pcm.!default { type null }\n' >"$home/.asoundrc"
HOME=$home python3 scripts/soak.py build/vexolo-engine "$seconds"
