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

# Headless machines have no sound card: a private home with a null ALSA sink
# and a sound server of its own when there is one to start.
# Each host bounds its own waits and says what it waited for; the time limit
# is for anything they missed.
limit() {
    local rc=0
    timeout -k 5 "$@" || rc=$?
    [ $rc -ne 124 ] || echo "demo: $3 did not finish within $1 s" >&2
    return $rc
}
. scripts/private-home.sh
HOME=$home limit 120 python3 scripts/demo-host.py build/vexolo-engine "$clip" build/demo-frame.png
scripts/sdk-packages.sh
(cd sdk && npm run --silent build)
HOME=$home limit 120 node sdk/dist/demo/contact-sheet.js build/vexolo-engine "$clip" build/demo-contact-sheet.png
