#!/usr/bin/env bash
# Shows the engine's pictures in a browser: builds the engine and the host
# library if needed, makes a 30-second clip, and serves a page on 127.0.0.1
# with play, pause, a seek bar, a box to load any URL, and the event log.
#   scripts/demo-web.sh [PORT]   (default 8080; the page is http://127.0.0.1:PORT/)
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target vexolo-engine >/dev/null
clip=build/media/demo-web.mp4
if [ ! -s "$clip" ]; then
    mkdir -p build/media
    ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=640x360:rate=30 \
        -f lavfi -i sine=frequency=440:sample_rate=48000 -t 30 -c:v libx264 -preset ultrafast \
        -pix_fmt yuv420p -g 30 -c:a aac -shortest "$clip.tmp.mp4"
    mv "$clip.tmp.mp4" "$clip"
fi
scripts/sdk-packages.sh
cd sdk
npm run --silent build
exec node dist/demo/server.js --port "${1:-8080}" --engine ../build/vexolo-engine --load "file://$(realpath "../$clip")"
