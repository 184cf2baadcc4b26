#!/usr/bin/env bash
# Soak: lumoQuillpub at a steady rate on 15 topics into lumoQuillmon with
# continuity and payload checks (alternating_float_ramp), for SOAK_SECONDS
# (default 600). The monitor's resident set is sampled every SOAK_INTERVAL
# seconds (default 10); at the end the RSS after 1 minute, the RSS at the end,
# their ratio, and the samples received and lost are printed. Loopback only.
#
# usage: bench/soak.sh [--no-build] [--debug] [--rate PER_TOPIC] [--size BYTES] [--qos-profile NAME]
#                      [--qos-file FILE]
#   SOAK_SECONDS=60 bench/soak.sh    a short try
#   --debug   the monitor runs with -d: Fast DDS's warnings reach its log and
#             are counted (so is a log line per checked sample: not a run for
#             the RSS or CPU figures)
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD

build=1
debug=0
rate=1000
size=1024
topics=15
seconds=${SOAK_SECONDS:-600}
interval=${SOAK_INTERVAL:-10}
while [ $# -gt 0 ]; do
    case $1 in
    --no-build) build=0 ;;
    --debug) debug=1 ;;
    --rate) rate=$2; shift ;;
    --size) size=$2; shift ;;
    --qos-profile) export QOS_PROFILE=$2; shift ;;
    --qos-file) export QOS_FILE=$(realpath "$2"); shift ;;
    -h | --help) sed -n '2,14p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "bench/soak.sh: unknown argument $1" >&2; exit 2 ;;
    esac
    shift
done

export BUILD_DIR=$ROOT/build-bench
if [ $build -eq 1 ]; then
    scripts/setup.sh
    cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLUMO_BUILD_BENCH=ON -DLUMO_BUILD_TESTS=ON \
        > "$BUILD_DIR.configure.log" 2>&1 || { cat "$BUILD_DIR.configure.log"; exit 1; }
    cmake --build "$BUILD_DIR" -j 2 --target lumoQuillmon lumoQuillpub lumoExitReport \
        > "$BUILD_DIR.build.log" 2>&1 || { tail -30 "$BUILD_DIR.build.log"; exit 1; }
fi

export WORK_DIR
WORK_DIR=$(mktemp -d /tmp/lumo-soak.XXXXXX)
# shellcheck source=throughput/common.sh
source bench/throughput/common.sh
trap cleanup_started EXIT INT TERM

echo "=== soak $(date -u '+%Y-%m-%d %H:%M:%S UTC'); load: $(uptime | sed 's/.*load average: //')"
echo "    $topics topics x $rate samples/s, $size B alternating_float_ramp, ${seconds} s, QoS $QOS_PROFILE; logs in $WORK_DIR"

use_case_domain 0
if [ $debug -eq 1 ]; then
    # shellcheck disable=SC2034 # read by start_reader (common.sh)
    MONITOR_EXTRA_ARGS=(-d)
fi
names=$(topic_names "$topics" "Soak")
# shellcheck disable=SC2086
start_reader mon-pattern "$WORK_DIR/reader.log" $names
# shellcheck disable=SC2086
start_publisher "$WORK_DIR/pub.log" "$rate" "$size" alternating_float_ramp $names

at_minute=""
printf '%8s %10s %10s\n' "seconds" "RSS MiB" "peak MiB"
for ((elapsed = interval; elapsed <= seconds; elapsed += interval)); do
    # Paced from the publisher's start, so that samples do not drift.
    target=$(awk -v s="$PUB_START" -v e="$elapsed" 'BEGIN { printf "%.3f", s + e }')
    sleep "$(awk -v t="$target" -v n="$(now)" 'BEGIN { d = t - n; printf "%.3f", (d > 0 ? d : 0) }')"
    if ! kill -0 "$READER_PID" 2>/dev/null; then
        echo "bench/soak.sh: the monitor ended early (log $WORK_DIR/reader.log)" >&2
        tail -5 "$WORK_DIR/reader.log" >&2
        exit 1
    fi
    rss=$(rss_kib "$READER_PID")
    printf '%8d %10.1f %10.1f\n' "$elapsed" "$(awk -v k="$rss" 'BEGIN { print k / 1024 }')" \
        "$(awk -v k="$(peak_rss_kib "$READER_PID")" 'BEGIN { print k / 1024 }')"
    [ "$elapsed" -eq 60 ] && at_minute=$rss
done
end_rss=$(rss_kib "$READER_PID")
stop=$(now)
kill -STOP "$PUB_PID"
sleep 0.3
stop_reader
stop_publisher
[ "$PUB_KILLED" -gt 0 ] && echo "(the publisher did not exit within 5 s of SIGINT after the measurement and was killed)"

read -r received lost <<< "$(reader_counts mon-pattern "$WORK_DIR/reader.log")"
errors=$(grep -c " ERROR " "$WORK_DIR/reader.log" || true)
warnings=$(grep -c " WARN " "$WORK_DIR/reader.log" || true)
warnings_note=""
[ $debug -eq 1 ] || warnings_note=" (without --debug, none of Fast DDS's)"
offered=$(awk -v r="$rate" -v t="$topics" -v s="$PUB_START" -v e="$stop" 'BEGIN { printf "%.0f", r * t * (e - s) }')
# The publisher's own count (its summary at exit): a reliable writer that is
# held back falls behind the offered rate.
written=$(awk '/^\[.*samples written:/ { for (i = 1; i <= NF; i++) if ($i == "written:") n += $(i + 1); found = 1 }
               END { print found ? n : "?" }' "$WORK_DIR/pub.log")
echo
echo "offered $offered samples ($topics x $rate/s), written $written, received $received;" \
    "lost (sample-id gaps) $lost; ERROR lines $errors; WARN lines $warnings$warnings_note"
if [ -n "$at_minute" ]; then
    awk -v a="$at_minute" -v b="$end_rss" 'BEGIN {
        printf "RSS after 1 min %.1f MiB, at the end %.1f MiB: end / 1 min = %.4f (%+.2f%%)\n", a / 1024, b / 1024, b / a, (b / a - 1) * 100 }'
else
    echo "RSS at the end $(awk -v b="$end_rss" 'BEGIN { printf "%.1f", b / 1024 }') MiB (run shorter than a minute: no 1-minute figure)"
fi
