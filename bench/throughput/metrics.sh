# The monitor serving --metrics, scraped every second (curl, gzip, as
# Prometheus asks), beside the same monitor without it: 64 B, 15 topics, as
# fast as possible. Sourced by bench/run.sh after run_case is defined;
# metrics_table prints the rows. The cases alternate, METRICS_REPEAT times,
# so that a change in the machine's load falls on both. Target: CPU per
# sample with --metrics at most 1.05 of the monitor's without.
#
# --metrics keeps the per-writer tallies (the report's); mon-report and
# mon-report-metrics, which keep them both, show the endpoint's own cost.

METRICS_SIZES=${METRICS_SIZES:-64}
METRICS_TOPICS=${METRICS_TOPICS:-15}
METRICS_REPEAT=${METRICS_REPEAT:-2}

metrics_table() {
    local runs="mon mon-metrics mon-report mon-report-metrics" topics size run repeat label n per_s cpu status
    local -A sum_cpu sum_n rows
    local base_dir=$WORK_DIR
    for topics in $METRICS_TOPICS; do
        for size in $METRICS_SIZES; do
            for ((repeat = 0; repeat < METRICS_REPEAT; repeat++)); do
                # Logs of their own: the start of a case is read from its logs.
                WORK_DIR=$base_dir/metrics-$repeat
                mkdir -p "$WORK_DIR"
                for run in $runs; do
                    use_case_domain "$case_index"
                    case_index=$((case_index + 1))
                    rows["$topics/$size/$run/$repeat"]=$(run_case "$run" ramp "$size" 0 "$topics")
                done
            done
            WORK_DIR=$base_dir
        done
    done
    printf '%-18s %-20s %12s %10s %10s %s\n' "case" "reader" "received" "samples/s" "cpu s/Ms" "status"
    for topics in $METRICS_TOPICS; do
        for size in $METRICS_SIZES; do
            label="$(size_text "$size") x$topics r=max"
            for run in $runs; do
                sum_cpu[$run]=0
                sum_n[$run]=0
                for ((repeat = 0; repeat < METRICS_REPEAT; repeat++)); do
                    read -r n _ per_s _ cpu _ status <<< "${rows["$topics/$size/$run/$repeat"]}"
                    printf '%-18s %-20s %12s %10s %10s %s\n' "$label" "$run" "$n" "$per_s" "$cpu" "$status"
                    # CPU per sample over all repeats: total CPU over total samples.
                    if [ "$cpu" != "-" ] && [ "$n" != "-" ]; then
                        sum_cpu[$run]=$(awk -v a="${sum_cpu[$run]}" -v c="$cpu" -v n="$n" 'BEGIN { print a + c * n }')
                        sum_n[$run]=$((${sum_n[$run]} + n))
                    fi
                done
            done
            awk -v mc="${sum_cpu[mon]}" -v mn="${sum_n[mon]}" -v xc="${sum_cpu[mon-metrics]}" \
                -v xn="${sum_n[mon-metrics]}" -v rc="${sum_cpu[mon-report]}" -v rn="${sum_n[mon-report]}" \
                -v yc="${sum_cpu[mon-report-metrics]}" -v yn="${sum_n[mon-report-metrics]}" -v l="$label" 'BEGIN {
                    r = (mn > 0 && xn > 0 && mc > 0) ? sprintf("%.3f", (xc / xn) / (mc / mn)) : "-"
                    q = (rn > 0 && yn > 0 && rc > 0) ? sprintf("%.3f", (yc / yn) / (rc / rn)) : "-"
                    printf "%-18s cpu per sample: mon-metrics/mon %s, mon-report-metrics/mon-report %s\n", l, r, q }'
        done
    done
    echo "mon-metrics: lumoQuillmon --metrics 127.0.0.1:$METRICS_PORT, scraped every 1 s; mon-report(-metrics): the same"
    echo "with --report FILE --fail-on missing. Target: mon-metrics/mon <= 1.05."
}
