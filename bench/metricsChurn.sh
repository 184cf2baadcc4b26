#!/usr/bin/env bash
# Writers that come and go beside lumoQuillmon --metrics, scraped every
# second (curl, gzip, as Prometheus asks): CHURN_WRITERS publishers (default
# 90), one started every CHURN_GAP seconds (default 0.66: about 60 s), each
# writing 50 samples and leaving. Printed every 10 s and at the end, once the
# last writer left and two scrapes read it: the series of one scrape, the
# writer series among them, the monitor's RSS and threads. Loopback only;
# run it on a built tree (BUILD_DIR, default build/).
#
# usage: bench/metricsChurn.sh
set -euo pipefail
cd "$(dirname "$0")/.."
export BUILD_DIR=${BUILD_DIR:-$PWD/build}
writers=${CHURN_WRITERS:-90}
gap=${CHURN_GAP:-0.66}
METRICS_PORT=${METRICS_PORT:-19465}
export WORK_DIR
WORK_DIR=$(mktemp -d /tmp/lumo-churn.XXXXXX)
# shellcheck source=throughput/common.sh
source bench/throughput/common.sh
trap cleanup_started EXIT INT TERM

scrape() { curl -s --compressed "http://127.0.0.1:$METRICS_PORT/metrics"; }
report() {
    local text series writer_series threads
    text=$(scrape)
    series=$(grep -vc '^#' <<< "$text" || true)
    writer_series=$(grep -v '^#' <<< "$text" | grep 'writer="' | grep -vc 'writer="unlisted"' || true)
    threads=$(awk '/^Threads:/ { print $2 }' "/proc/$READER_PID/status")
    printf '%8s %8d %14d %10.1f %8d\n' "$1" "$series" "$writer_series" \
        "$(awk -v k="$(rss_kib "$READER_PID")" 'BEGIN { print k / 1024 }')" "$threads"
}

use_case_domain 0
start_reader mon-metrics "$WORK_DIR/reader.log" Churn
printf '%8s %8s %14s %10s %8s\n' "seconds" "series" "writer series" "RSS MiB" "threads"
start=$(now)
next_report=10
for ((i = 0; i < writers; i++)); do
    "$BIN/lumoQuillpub" -t Churn -a 127.0.0.1 --domain-id "$BENCH_DOMAIN" --qos-file "$QOS_FILE" \
        --qos-profile "$QOS_PROFILE" -n 50 -r 100 --wait-timeout 30 --ack-timeout 1 \
        > "$WORK_DIR/pub-$i.log" 2>&1 &
    STARTED_PIDS+=("$!")
    sleep "$gap"
    elapsed=$(awk -v s="$start" -v n="$(now)" 'BEGIN { printf "%d", n - s }')
    if [ "$elapsed" -ge "$next_report" ]; then
        report "$elapsed"
        next_report=$((next_report + 10))
    fi
done
wait "${STARTED_PIDS[@]:2}" 2> /dev/null || true
# The unmatches come with discovery; then one scrape shows the final
# counts and the next one folds them.
sleep 3
scrape > /dev/null
report "end"
echo "writers $writers; unlisted: $(scrape | grep '^lumo_quillmon_unlisted_writers' | awk '{ print $2 }');" \
    "samples: $(scrape | grep '^lumo_quillmon_samples_total' | awk '{ s += $2 } END { print s }')"
stop_reader
