#!/usr/bin/env bash
# Fuzzes the command parser and json_esc with libFuzzer (clang), under
# AddressSanitizer and UndefinedBehaviorSanitizer.
#   scripts/fuzz.sh                 a bounded run (part of the test command)
#   scripts/fuzz.sh RUNS [ARGS...]  RUNS executions, more libFuzzer arguments after
# Findings land in build-fuzz/ (or $FUZZ_OUT) as crash-* files; replay one with
#   build-fuzz/command_fuzz build-fuzz/crash-...
set -euo pipefail
cd "$(dirname "$0")/.."

runs=${1:-300000}
shift || true
out=${FUZZ_OUT:-build-fuzz}
mkdir -p "$out/corpus"
clang++ -std=c++20 -g -O1 -Wall -Wextra -Werror -fsanitize=fuzzer,address,undefined \
    -fno-sanitize-recover=all -Iengine engine/json.cpp tests/fuzz/command_fuzz.cpp -o "$out/command_fuzz"
# New inputs go to the work corpus; the checked-in seeds stay as they are.
"$out/command_fuzz" -runs="$runs" -max_len=4096 -artifact_prefix="$out/" -print_final_stats=1 "$@" \
    "$out/corpus" tests/fuzz/corpus 2>&1 | tail -n 12
