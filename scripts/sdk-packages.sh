#!/usr/bin/env bash
# Installs the host library's packages from the committed lockfile, when it
# changed since the last install.
set -euo pipefail
cd "$(dirname "$0")/../sdk"
if [ ! node_modules/.package-lock.json -nt package-lock.json ]; then
    npm ci --no-audit --no-fund --loglevel=error
fi
