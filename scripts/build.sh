#!/usr/bin/env bash
# build.sh PRESET [--target T]... [cmake options...]: configures one of the
# presets of CMakePresets.json (regular, fastdds3, asan, tsan, fuzz; the
# options given are added to the preset's own) and builds it, or only the
# targets given. The configure output goes to <build dir>.configure.log,
# shown only on failure.
# build.sh DIR [cmake options...], DIR not a preset name: the same in DIR,
# without a preset.
set -euo pipefail
cd "$(dirname "$0")/.."
name=$1
shift
targets=()
while [ "${1:-}" = --target ]; do
    targets+=(--target "$2")
    shift 2
done
case $name in
regular) dir=build ;;
fastdds3 | asan | tsan | fuzz) dir=build-$name ;;
*) dir=$name ;;
esac
if [ "$dir" = "$name" ]; then
    cmake -S . -B "$dir" "$@" > "$dir.configure.log" 2>&1 || { cat "$dir.configure.log"; exit 1; }
    cmake --build "$dir" -j "$(nproc)" "${targets[@]}"
else
    cmake --preset "$name" "$@" > "$dir.configure.log" 2>&1 || { cat "$dir.configure.log"; exit 1; }
    cmake --build --preset "$name" -j "$(nproc)" "${targets[@]}"
fi
