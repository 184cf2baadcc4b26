#!/usr/bin/env bash
# Where the monitor's CPU per sample goes, beside ddsperf sub's, on the same
# stream: ddsperf pub -T KS (64 B, reliable, RATE samples/s) into
# lumoQuillmon --any-type --seq-field 4:4 and ddsperf sub, in a network
# namespace of its own (root; loopback only, removed on exit), each profiled
# with perf record -g on the software clock for SECONDS. Prints each
# reader's shares by shared object and its top symbols. Not part of the tests.
#
# usage: bench/throughput/intakeProfile.sh [BUILD_DIR] [RATE] [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/../.."
BIN=$(realpath "${1:-build-bench}")/bin
RATE=${2:-20000}
SECS=${3:-6}
DOMAIN=232
NS="lumo-bench-prof-$$"
OUT=$(mktemp -d /tmp/lumo-intake-prof.XXXXXX)
pids=()
cleanup() {
    local pid
    for pid in "${pids[@]:-}"; do if [ -n "$pid" ]; then kill -TERM "$pid" 2>/dev/null || true; fi; done
    for pid in "${pids[@]:-}"; do if [ -n "$pid" ]; then wait "$pid" 2>/dev/null || true; fi; done
    ip netns del "$NS" 2>/dev/null || true
}
trap cleanup EXIT
ip netns add "$NS"
ip -n "$NS" link set lo up
ip -n "$NS" link set lo multicast on
ip -n "$NS" route add 224.0.0.0/4 dev lo
# Not a function: $! must be the reader itself (ip execs it).
in_ns=(ip netns exec "$NS")

"${in_ns[@]}" "$BIN/lumoQuillmon" -t DDSPerfRDataKS --domain-id "$DOMAIN" --qos-file "$BIN/telemDataPathDdsQos.xml" \
    --any-type --seq-field 4:4 > "$OUT/mon.log" 2>&1 &
mon=$!
pids+=("$mon")
"${in_ns[@]}" ddsperf -i "$DOMAIN" -T KS sub > "$OUT/sub.log" 2>&1 &
sub=$!
pids+=("$sub")
until grep -q "Ctrl-C to exit" "$OUT/mon.log"; do sleep 0.1; done
"${in_ns[@]}" ddsperf -i "$DOMAIN" -T KS pub "${RATE}Hz" size 64 > "$OUT/pub.log" 2>&1 &
pids+=("$!")
# Both readers matched and reading before the profile starts.
sleep 4
perf record -q -g -e cpu-clock -o "$OUT/mon.data" -p "$mon" -- sleep "$SECS" > /dev/null 2>&1 &
perf_mon=$!
perf record -q -g -e cpu-clock -o "$OUT/sub.data" -p "$sub" -- sleep "$SECS" > /dev/null 2>&1
wait "$perf_mon" || true
for who in mon sub; do
    echo "=== $who ($([ $who = mon ] && echo "lumoQuillmon --any-type" || echo "ddsperf sub")), $SECS s at $RATE/s: samples by shared object"
    perf report -q -i "$OUT/$who.data" --no-children --sort dso 2> /dev/null | head -8
    echo "--- top symbols (self)"
    perf report -q -i "$OUT/$who.data" --no-children --sort dso,sym 2> /dev/null | grep -v '^$' | head -25
done
echo "(perf data and logs in $OUT)"
