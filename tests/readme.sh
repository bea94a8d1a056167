#!/usr/bin/env bash
# The README's commands as a newcomer types them, each within a time limit
# that fails the run: the demo (both pictures made), the web demo for a moment
# (Chromium sees a picture drawn), and the benchmark's start-up step as a smoke
# run. The plain build runs it alone (Readme.Commands). Both examples run as
# the README installs and runs them in the Install test.
set -euo pipefail
cd "$(dirname "$0")/.."
tmp=$(mktemp -d)
. scripts/private-home.sh
trap '[ -z "${web:-}" ] || kill -- -"$web" 2>/dev/null || true; rm -rf "$tmp"; cleanup' EXIT

# within SECONDS WHAT COMMAND...: runs it within the limit and tells its time; on a miss or a failure, its last words.
within() {
    local limit=$1 what=$2 began=$SECONDS rc=0
    shift 2
    timeout -k 5 "$limit" "$@" >"$tmp/out" 2>&1 </dev/null || rc=$?
    echo "readme: $what took $((SECONDS - began)) s (limit $limit s), status $rc"
    [ $rc -ne 124 ] || echo "readme: $what did not end within $limit s"
    [ $rc -eq 0 ] || { tail -n 25 "$tmp"/*; exit 1; }
}

rm -f build/demo-frame.png build/demo-contact-sheet.png
within 300 scripts/demo.sh scripts/demo.sh
[ -s build/demo-frame.png ] && [ -s build/demo-contact-sheet.png ] || { echo "readme: scripts/demo.sh made not both pictures"; exit 1; }

port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
HOME=$home setsid scripts/demo-web.sh "$port" >"$tmp/web" 2>&1 </dev/null & web=$!
# Once the server is up, until the page's canvas holds a picture: a pixel that is not black.
within 300 "scripts/demo-web.sh, until Chromium sees a picture" node --input-type=module -e "
  import fs from 'node:fs';
  import { chromiumLaunch } from '$PWD/sdk/dist/test/helpers.js';
  while (!fs.readFileSync('$tmp/web', 'utf8').includes('demo: open')) await new Promise((r) => setTimeout(r, process.kill($web, 0) && 200));
  const browser = await chromiumLaunch();
  const page = await browser.newPage();
  await page.goto('http://127.0.0.1:$port/');
  await page.waitForFunction(() => { const c = document.getElementById('screen');
    return c.width > 0 && c.getContext('2d').getImageData(0, 0, c.width, c.height).data.some((v, i) => i % 4 < 3 && v > 0); }, null, { timeout: 30000 });
  await browser.close();"
kill -- -"$web"
web=

within 600 "scripts/bench.sh --only startup" scripts/bench.sh --only startup
