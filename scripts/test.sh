#!/usr/bin/env bash
# Builds the engine and runs the whole test suite. Installs what it needs.
#   scripts/test.sh              layout check, then plain build in build/
#   scripts/test.sh --sanitize   AddressSanitizer + UndefinedBehaviorSanitizer in build-asan/
#   scripts/test.sh --tsan       ThreadSanitizer in build-tsan/
set -euo pipefail
cd "$(dirname "$0")/.."

build=build
options=(-DVEXOLO_WERROR=ON -DBUILD_TESTING=ON)
case "${1:-}" in
"") ;;
--sanitize)
    build=build-asan
    options+=(-DVEXOLO_SANITIZE=ON)
    # Any report fails the run: the engine exits non-zero and the host
    # helper also looks for reports on the engine's standard error.
    # libvlc's HLS demuxer frees with free() what it made with new: a
    # mismatch of the library's own, not looked for.
    export ASAN_OPTIONS=abort_on_error=0:detect_leaks=1:exitcode=86:alloc_dealloc_mismatch=0
    export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
    export LSAN_OPTIONS=suppressions=$PWD/tests/lsan.supp
    ;;
--tsan)
    build=build-tsan
    options+=(-DVEXOLO_TSAN=ON)
    # libvlc, ffmpeg and PulseAudio are not built with ThreadSanitizer: their
    # own atomics are invisible to it, so reports from their calls to free,
    # memcpy and the like are ignored. Their locks are still followed.
    export TSAN_OPTIONS="halt_on_error=1:exitcode=86:second_deadlock_stack=1:ignore_noninstrumented_modules=1:suppressions=$PWD/tests/tsan.supp"
    ;;
*)
    echo "usage: scripts/test.sh [--sanitize|--tsan]" >&2
    exit 2
    ;;
esac

scripts/setup.sh
scripts/sdk-packages.sh
# The layout first, so that a misformatted tree fails before the build; the
# sanitizer runs are of the same tree.
if [ "$build" = build ]; then
    scripts/format.sh --check
fi
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo "${options[@]}" >/dev/null
cmake --build "$build" -j"$(nproc)"
cd "$build"
# The sanitizers make the engine several times slower: one scenario a core,
# or the machine is so crowded that the library's clock and the engine's
# stand apart by more than a picture's grid allows.
jobs=4
if [ "$build" != build ]; then
    jobs=$(nproc)
fi
exec ctest -j"$jobs" --output-on-failure --timeout 300
