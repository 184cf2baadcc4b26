# The live view's cost: lumoQuillmon --live beside the same monitor without
# it, 64 B on 15 topics, as fast as possible and at a fixed rate. Sourced by
# bench/run.sh after run_case is defined; live_table prints the rows.
#
# --live needs a terminal, and a terminal is not free: every line the plain
# monitor writes to it goes through the pty to `script`. So the plain run
# that --live is measured against is on a terminal too (mon-pty: the same
# `script`, size and TERM, without --live); mon, the plain monitor writing
# to a file as in every other table, shows what the terminal itself costs.
# The three alternate LIVE_REPEAT times, so that a change in the machine's
# load falls on all of them, and each ratio is total CPU over total samples
# of the runs that count. Target: mon-live at most 1.05 of mon-pty's CPU per
# sample.
#
# A run counts only when it is whole: status ok, samples taken, and for
# mon-live a view that drew (run_case's no-view). Any other run is listed
# and named in the summary line; without a whole run of both mon-live and
# mon-pty the summary gives no ratio.

LIVE_SIZES=${LIVE_SIZES:-64}
LIVE_TOPICS=${LIVE_TOPICS:-15}
# Samples per second per topic; 0 is as fast as possible. At a fixed rate
# the view's cost per second weighs more on each sample than at full speed.
LIVE_RATES=${LIVE_RATES:-"0 1000"}
LIVE_REPEAT=${LIVE_REPEAT:-3}
LIVE_KINDS="mon mon-pty mon-live"

# live_summary LABEL ROWS...: one line from "kind n cpu status" rows: each
# kind's CPU per million samples over the runs that count, and the ratios.
live_summary() {
    local label=$1
    shift
    printf '%s\n' "$@" | awk -v l="$label" '
        { runs[$1]++
          if ($4 == "ok" && $2 + 0 > 0 && $3 != "-") { cpu[$1] += $3 * $2; n[$1] += $2; good[$1]++ }
          else bad = bad " " $1 ":" $4 }
        END {
            for (k in runs) per[k] = (n[k] > 0) ? cpu[k] / n[k] : 0
            live = (per["mon-live"] > 0 && per["mon-pty"] > 0) ? sprintf("%.3f", per["mon-live"] / per["mon-pty"]) : "-"
            pty = (per["mon-pty"] > 0 && per["mon"] > 0) ? sprintf("%.3f", per["mon-pty"] / per["mon"]) : "-"
            verdict = (live == "-") ? "no-figure" : (live + 0 <= 1.05 ? "within 1.05" : "OVER 1.05")
            printf "%-22s cpu per sample: mon-live/mon-pty %s (%s; %d+%d runs), mon-pty/mon %s%s\n", l, live, verdict,
                   good["mon-live"], good["mon-pty"], pty, (bad == "" ? "" : "; not counted:" bad) }'
}

live_table() {
    local topics size rate run repeat label n per_s cpu status base_dir=$WORK_DIR
    local -A rows
    for topics in $LIVE_TOPICS; do
        for size in $LIVE_SIZES; do
            for rate in $LIVE_RATES; do
                for ((repeat = 0; repeat < LIVE_REPEAT; repeat++)); do
                    # Logs of their own: the start of a case is read from its logs.
                    WORK_DIR=$base_dir/live-$repeat
                    mkdir -p "$WORK_DIR"
                    for run in $LIVE_KINDS; do
                        use_case_domain "$case_index"
                        case_index=$((case_index + 1))
                        rows["$topics/$size/$rate/$run/$repeat"]=$(run_case "$run" ramp "$size" "$rate" "$topics")
                    done
                done
                WORK_DIR=$base_dir
            done
        done
    done
    printf '%-22s %-10s %12s %10s %10s %s\n' "case" "reader" "received" "samples/s" "cpu s/Ms" "status"
    for topics in $LIVE_TOPICS; do
        for size in $LIVE_SIZES; do
            for rate in $LIVE_RATES; do
                label="$(size_text "$size") x$topics r=$([ "$rate" = 0 ] && echo max || echo "$rate/s")"
                local counted=()
                for ((repeat = 0; repeat < LIVE_REPEAT; repeat++)); do
                    for run in $LIVE_KINDS; do
                        read -r n _ per_s _ cpu _ status <<< "${rows["$topics/$size/$rate/$run/$repeat"]}"
                        printf '%-22s %-10s %12s %10s %10s %s\n' "$label" "$run" "$n" "$per_s" "$cpu" "$status"
                        counted+=("$run $n $cpu $status")
                    done
                done
                live_summary "$label" "${counted[@]}"
            done
        done
    done
    echo "mon-live: lumoQuillmon --live on a ${PTY_COLS}x$PTY_ROWS pseudo-terminal (script, TERM=xterm-256color);"
    echo "mon-pty: the same terminal without --live; mon: the plain monitor, its output to a file. r: samples/s per"
    echo "topic. Target: mon-live/mon-pty <= 1.05."
}
