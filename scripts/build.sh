#!/usr/bin/env bash
# build.sh PRESET [cmake options...]: configures one of the presets of
# CMakePresets.json (regular, fastdds3, asan, tsan, fuzz; the options given
# are added to the preset's own) and builds it. The configure output goes to
# <build dir>.configure.log, shown only on failure.
# build.sh DIR [cmake options...], DIR not a preset name: the same in DIR,
# without a preset.
set -euo pipefail
cd "$(dirname "$0")/.."
name=$1
shift
case $name in
regular) dir=build ;;
fastdds3 | asan | tsan | fuzz) dir=build-$name ;;
*) dir=$name ;;
esac
if [ "$dir" = "$name" ]; then
    cmake -S . -B "$dir" "$@" > "$dir.configure.log" 2>&1 || { cat "$dir.configure.log"; exit 1; }
    cmake --build "$dir" -j "$(nproc)"
else
    cmake --preset "$name" "$@" > "$dir.configure.log" 2>&1 || { cat "$dir.configure.log"; exit 1; }
    cmake --build --preset "$name" -j "$(nproc)"
fi
