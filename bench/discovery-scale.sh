#!/usr/bin/env bash
# Discovery at scale, on test hosts (network namespaces; run as root): many
# lumoQuillpub participants spread over several hosts and one lumoQuillmon on
# 15 topics, under simple discovery and under a discovery server (multicast
# dropped on every host), side by side: time to every match, the monitor
# host's packets and bytes (discovery and all), the monitor's RSS.
#
# usage: bench/discovery-scale.sh [--build-dir DIR] [--no-build] [--participants N] [--hosts H]
#                                 [--window S] [--mode simple|server|both]
#   defaults: build/ (build-fastdds3/ for Fast DDS 3), 50 participants on 5 hosts, 30 s, both
# About 2 minutes after the build.
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir=build
build=1
args=()
while [ $# -gt 0 ]; do
    case $1 in
    --build-dir) build_dir=$2; shift ;;
    --no-build) build=0 ;;
    --participants | --hosts | --window | --mode) args+=("$1" "$2"); shift ;;
    -h | --help) sed -n '2,11p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "bench/discovery-scale.sh: unknown argument $1" >&2; exit 2 ;;
    esac
    shift
done

if [ $build -eq 1 ]; then
    scripts/setup.sh
    if [ ! -f "$build_dir/CMakeCache.txt" ]; then
        cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo > "$build_dir.configure.log" 2>&1 ||
            { cat "$build_dir.configure.log"; exit 1; }
    fi
    cmake --build "$build_dir" -j 2 --target lumoQuillmon lumoQuillpub lumoDiscoveryScale > "$build_dir.scale.log" 2>&1 ||
        { tail -30 "$build_dir.scale.log"; exit 1; }
fi

echo "=== discovery scale $(date -u '+%Y-%m-%d %H:%M:%S UTC'); load: $(uptime | sed 's/.*load average: //')"
"$build_dir/bin/lumoDiscoveryScale" "${args[@]}"
