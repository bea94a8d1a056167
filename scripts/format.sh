#!/usr/bin/env bash
# Lays out the C++ with clang-format and the TypeScript with prettier, by the
# checked-in .clang-format and .prettierrc.json. Installs what it needs.
#   scripts/format.sh           rewrites the files that differ
#   scripts/format.sh --check   changes nothing; lists the files that differ and fails if any do
set -euo pipefail
cd "$(dirname "$0")/.."

case "${1:-}" in
"") check=0 ;;
--check) check=1 ;;
*)
    echo "usage: scripts/format.sh [--check]" >&2
    exit 2
    ;;
esac

scripts/setup.sh --format
scripts/sdk-packages.sh

# Other clang-format versions break some lines elsewhere: the check would
# fail on a tree that this one leaves alone.
clang_format=${CLANG_FORMAT:-clang-format}
if ! "$clang_format" --version | grep -q ' version 14\.'; then
    echo "format: clang-format 14 is needed, found: $("$clang_format" --version | head -1)" >&2
    exit 1
fi
prettier=sdk/node_modules/.bin/prettier

# The tests are left as they are written: their cases are tables laid out by
# hand, a row of several short cases to a line, which the formatters would
# spread one value to a line. (tests/.clang-format and .prettierignore say
# the same to editors.)
mapfile -t cxx < <(find engine bench -type f \( -name '*.cpp' -o -name '*.h' \) | sort)
mapfile -t ts < <(find sdk/src sdk/demo sdk/bench examples -type f -name '*.ts' | sort)

if [ "$check" = 0 ]; then
    "$clang_format" -i "${cxx[@]}"
    "$prettier" --log-level warn --write "${ts[@]}"
    exit 0
fi

differ=()
for f in "${cxx[@]}"; do
    "$clang_format" --dry-run --Werror "$f" >/dev/null 2>&1 || differ+=("$f")
done
# prettier names the files that differ and exits 1 when there are any; 2 is
# an error of its own (a file it cannot parse), which fails the check too.
rc=0
listed=$("$prettier" --list-different "${ts[@]}") || rc=$?
if [ "$rc" -gt 1 ]; then
    echo "format: prettier failed" >&2
    exit 1
fi
[ -n "$listed" ] && mapfile -t -O ${#differ[@]} differ <<<"$listed"
[ ${#differ[@]} -eq 0 ] && exit 0
echo "format: these files differ from what scripts/format.sh writes:" >&2
printf '    %s\n' "${differ[@]}" >&2
exit 1
