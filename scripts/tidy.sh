#!/usr/bin/env bash
# tidy.sh [BUILD_DIR]: clang-tidy-14 (.clang-tidy, tests/.clang-tidy) over
# the project's own sources, as compiled in BUILD_DIR (default build/, which
# exports compile_commands.json); findings in the project's own headers
# count too. Fails on any finding.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
root=$PWD
# Every translation unit of the project's own (generated sources aside).
mapfile -t files < <(python3 - "$build/compile_commands.json" "$root" <<'PY'
import json, sys
root = sys.argv[2] + "/"
for entry in json.load(open(sys.argv[1])):
    path = entry["file"]
    if path.startswith(root) and not path[len(root):].startswith("build") and path.endswith(".cpp"):
        print(path)
PY
)
run-clang-tidy-14 -quiet -p "$build" -j "$(nproc)" -header-filter="^$root/(libs|standaloneTools|bench|tests)/" \
    "${files[@]}" > "$build/tidy.log" 2>&1 || { grep -E "(error|warning): " "$build/tidy.log" | sort -u; exit 1; }
echo "tidy: ${#files[@]} files, no finding"
