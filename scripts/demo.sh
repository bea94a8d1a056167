#!/usr/bin/env bash
# Shows the engine at work: builds it, makes a short sample clip, plays it
# with a small scripted host and prints what the engine reported.
#   scripts/demo.sh [CLIP]   (default: a 3-second test pattern with a tone)
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target vexolo-engine >/dev/null
scripts/make-media.sh build/media
clip=${1:-build/media/clip.mp4}

# Headless machines have no sound card: give the engine a null ALSA sink.
home=$(mktemp -d)
trap 'rm -rf "$home"' EXIT
printf 'pcm.!default { type null }\nctl.!default { type hw card 0 }\n' >"$home/.asoundrc"
HOME=$home python3 scripts/demo-host.py build/vexolo-engine "$clip"
