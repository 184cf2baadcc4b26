# The monitor writing its JSON Lines report (--report), beside the bare
# reader and the plain monitor fed the same payload: 64 B, 1 and 15 topics,
# as fast as possible. Sourced by bench/run.sh after run_case is defined;
# report_table prints the rows. Targets: at least 0.9 of the bare reader's
# samples/s and at most 1.2 of its CPU per sample.
#
# QUILLMON_BASELINE=<path of another lumoQuillmon> adds a row for that build
# without --report (e.g. the main branch's), to show that the plain
# monitor's figures stay where they were.

REPORT_SIZES=${REPORT_SIZES:-64}
REPORT_TOPICS=${REPORT_TOPICS:-"1 15"}

report_table() {
    local runs="bare mon mon-report" topics size run label per_s cpu n bper_s bcpu ratio cratio status
    [ -n "${QUILLMON_BASELINE:-}" ] && runs="bare mon mon-baseline mon-report"
    declare -A rows
    for topics in $REPORT_TOPICS; do
        for size in $REPORT_SIZES; do
            for run in $runs; do
                use_case_domain "$case_index"
                case_index=$((case_index + 1))
                rows["$topics/$size/$run"]=$(run_case "$run" ramp "$size" 0 "$topics")
            done
        done
    done
    printf '%-22s %-14s %12s %10s %10s %7s %7s %s\n' "case" "reader" "received" "samples/s" "cpu s/Ms" "rate/b" \
        "cpu/b" "status"
    for topics in $REPORT_TOPICS; do
        for size in $REPORT_SIZES; do
            label="$(size_text "$size") x$topics r=max"
            read -r _ _ bper_s _ bcpu _ _ <<< "${rows["$topics/$size/bare"]}"
            for run in $runs; do
                read -r n _ per_s _ cpu _ status <<< "${rows["$topics/$size/$run"]}"
                ratio=""
                cratio=""
                if [ "$run" != bare ]; then
                    ratio=$(awk -v a="$per_s" -v b="$bper_s" 'BEGIN { if (a + 0 > 0 && b + 0 > 0) printf "%.2f", a / b; else print "-" }')
                    cratio=$(awk -v a="$cpu" -v b="$bcpu" 'BEGIN { if (a + 0 > 0 && b + 0 > 0) printf "%.2f", a / b; else print "-" }')
                fi
                printf '%-22s %-14s %12s %10s %10s %7s %7s %s\n' "$label" "$run" "$n" "$per_s" "$cpu" "$ratio" "$cratio" \
                    "$status"
            done
        done
    done
    echo "mon-report: lumoQuillmon --report FILE (period 1 s) --fail-on missing; mon-baseline: \$QUILLMON_BASELINE"
    echo "without the new options. Targets for mon-report: rate/b >= 0.9, cpu/b <= 1.2."
}
