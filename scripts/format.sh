#!/usr/bin/env bash
# format.sh: formats every C++ file of the tree with clang-format-14
# (.clang-format): the tracked ones in a git checkout, else every one outside
# the build directories.
# format.sh --check: changes nothing; fails, naming each violation, when a
# file is not formatted.
set -euo pipefail
cd "$(dirname "$0")/.."
if git rev-parse --is-inside-work-tree >/dev/null 2>&1 && [ "$(git rev-parse --show-toplevel)" = "$PWD" ]; then
    mapfile -t files < <(git ls-files '*.cpp' '*.h' '*.hpp' '*.c')
else
    mapfile -t files < <(find . -path './build*' -prune -o -type f \( -name '*.cpp' -o -name '*.h' -o -name '*.hpp' -o -name '*.c' \) -print | sort)
fi
# Without a file name clang-format would read standard input instead.
if [ ${#files[@]} -eq 0 ]; then
    echo "format.sh: no C++ file found in $PWD" >&2
    exit 1
fi
if [ "${1:-}" = --check ]; then
    clang-format-14 --style=file --dry-run -Werror "${files[@]}"
else
    clang-format-14 --style=file -i "${files[@]}"
fi
