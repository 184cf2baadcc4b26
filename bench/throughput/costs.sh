# What each feature costs against the plain monitor: lumoQuillpub as fast as
# possible into lumoQuillmon with one feature on, right after the plain
# monitor fed the same stream (same size, payload kind and topic count), so
# that each ratio compares two runs a few seconds apart. Sourced by
# bench/run.sh after run_case is defined; costs_table prints one row per
# feature and size with the feature's samples/s and CPU per sample over the
# plain monitor's. Run it once per Fast DDS version (--fastdds 2 and 3): the
# README's cost table is those two runs side by side.

COSTS_SIZES=${COSTS_SIZES:-"64 65536"}
COSTS_TOPICS=${COSTS_TOPICS:-1}
# reader kind:payload kind:label[:plain reader kind, mon if left out]. The
# pattern check needs its own payload; its plain run is fed the same. --live
# needs a terminal: its plain run is on one too (bench/throughput/live.sh).
COSTS_RUNS=${COSTS_RUNS:-"mon-report:ramp:--report mon-metrics:ramp:--metrics mon-secured:ramp:--security \
mon-ramp:ramp:--check-ramp mon-pattern:alternating_float_ramp:--expected-payload-pattern mon-anytype:ramp:--any-type \
mon-live:ramp:--live:mon-pty"}

# costs_case KIND PAYLOAD SIZE: one run_case line, the publisher secured when
# the monitor is.
costs_case() {
    use_case_domain "$case_index"
    case_index=$((case_index + 1))
    if [ "$1" = mon-secured ]; then
        PUB_EXTRA=(--security "$BENCH_ENCLAVES/publisher")
    fi
    run_case "$1" "$2" "$3" 0 "$COSTS_TOPICS"
    PUB_EXTRA=()
}

costs_table() {
    [[ $COSTS_RUNS == *mon-secured* ]] && make_bench_enclaves
    local size run kind payload label plain_kind plain feature
    printf '%-8s %-28s %10s %10s %10s %10s %8s %8s %s\n' "size" "feature" "plain/s" "feature/s" "plain cpu" \
        "feat cpu" "rate" "cpu" "status"
    for size in $COSTS_SIZES; do
        for run in $COSTS_RUNS; do
            IFS=: read -r kind payload label plain_kind <<< "$run"
            plain=$(costs_case "${plain_kind:-mon}" "$payload" "$size")
            feature=$(costs_case "$kind" "$payload" "$size")
            awk -v p="$plain" -v f="$feature" -v size="$(size_text "$size")" -v label="$label" 'BEGIN {
                split(p, a, " "); split(f, b, " ")
                rate = (a[3] + 0 > 0 && b[3] + 0 > 0) ? sprintf("%.2f", b[3] / a[3]) : "-"
                cpu = (a[5] + 0 > 0 && b[5] + 0 > 0) ? sprintf("%.2f", b[5] / a[5]) : "-"
                status = (a[7] == "ok" && b[7] == "ok") ? "ok" : a[7] "/" b[7]
                # A run that took nothing (a writer that never matched, a count reset at the end) is no figure.
                if (a[1] + 0 == 0 || b[1] + 0 == 0) status = "no-samples:" (a[1] + 0 == 0 ? "plain" : "feature")
                printf "%-8s %-28s %10s %10s %10s %10s %8s %8s %s\n", size, label, a[3], b[3], a[5], b[5], rate, cpu, status }'
        done
    done
    echo "plain: lumoQuillmon without the feature, run just before it on the same stream ($COSTS_TOPICS topic(s), max rate);"
    echo "rate, cpu: the feature's samples/s and CPU s per million samples over the plain run's. --security:"
    echo "monitor and publisher secured (bench/throughput/secured.sh's enclaves and governance); --any-type:"
    echo "lumoQuillpub's AgnosticTopic adopted at discovery; --metrics: scraped every second; --live: on a"
    echo "${PTY_COLS}x$PTY_ROWS pseudo-terminal, its plain run on the same terminal without --live."
}
