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

. scripts/private-home.sh
HOME=$home python3 scripts/soak.py build/vexolo-engine "$seconds"
