#!/usr/bin/env bash
# format.sh: formats every tracked C++ file with clang-format-14 (.clang-format).
# format.sh --check: changes nothing; fails, naming each violation, when a
# file is not formatted.
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t files < <(git ls-files '*.cpp' '*.h' '*.hpp' '*.c')
if [ "${1:-}" = --check ]; then
    clang-format-14 --style=file --dry-run -Werror "${files[@]}"
else
    clang-format-14 --style=file -i "${files[@]}"
fi
