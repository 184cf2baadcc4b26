# The live view's cost: lumoQuillmon --live beside the same monitor without
# it, 64 B on 15 topics, as fast as possible and at a fixed rate. Sourced by
# bench/run.sh after run_case is defined; live_table prints the rows.
#
# --live needs a terminal, and a terminal is not free: `script` starts the
# monitor in a session of its own, which the kernel schedules as a group of
# its own (autogroup) against the publisher's. So the plain run that --live
# is measured against is on a terminal too (mon-pty: the same `script`, size
# and TERM, without --live); mon, the plain monitor writing to a file as in
# every other table, shows what the terminal's set-up itself moves.
#
# The three read one lumoQuillpub stream at the same time (it waits for all
# three): the same samples, under the same load of the machine at the same
# moment, which a sequence of runs a few seconds apart cannot give on a
# shared machine. Each repeat starts them in another order. The ratios are
# total CPU over total samples of the runs that count; the per-repeat ratios
# show their spread.
#
# A run counts only when it is whole: status ok (a publisher killed after
# the window, Fast DDS 2.9.1's deadlock at exit, leaves it whole), samples
# taken, and for mon-live a view that drew (run_case's no-view). Any other
# run is listed and named in the summary line; without a whole run of both
# mon-live and mon-pty the summary gives no ratio. Target: mon-live at most
# 1.05 of mon-pty's CPU per sample.

LIVE_SIZES=${LIVE_SIZES:-64}
LIVE_TOPICS=${LIVE_TOPICS:-15}
# Samples per second per topic; 0 is as fast as possible. At a fixed rate
# the view's cost per second weighs more on each sample than at full speed.
LIVE_RATES=${LIVE_RATES:-"0 1000"}
LIVE_REPEAT=${LIVE_REPEAT:-3}
# Read together; the summary needs mon-pty and mon-live (and mon for its
# second ratio).
read -r -a LIVE_KINDS <<< "${LIVE_KINDS:-mon mon-pty mon-live}"

# live_together SIZE RATE TOPICS FIRST: every kind of LIVE_KINDS, started
# from the FIRST-th on, reading one stream at once; one "kind" + run_case
# line per kind, in LIVE_KINDS order.
live_together() {
    local size=$1 rate=$2 topics=$3 first=$4 names i kind count=${#LIVE_KINDS[@]}
    local -A pid=() pty=() log=() cpu0=() line=()
    names=$(topic_names "$topics" "Bench${size}x")
    for ((i = 0; i < count; i++)); do
        kind=${LIVE_KINDS[(i + first) % count]}
        log[$kind]="$WORK_DIR/$kind-$size-$rate-$topics.reader.log"
        # shellcheck disable=SC2086
        if start_reader "$kind" "${log[$kind]}" $names; then
            pid[$kind]=$READER_PID
            pty[$kind]=$PTY_PID
        else
            line[$kind]="- - - - - - no-start"
        fi
    done
    for kind in "${!pid[@]}"; do cpu0[$kind]=$(cpu_seconds "${pid[$kind]}"); done
    local published=0 stop=""
    # Every writer waits for every reader that started.
    # shellcheck disable=SC2086
    if [ ${#pid[@]} -gt 0 ] && PUB_WAIT_READERS=${#pid[@]} start_publisher \
        "$WORK_DIR/pub-$size-$rate-$topics.log" "$rate" "$size" ramp $names; then
        published=1
        # run_case's window: from the first write for the set duration, then
        # the publisher frozen and what is on its way given a moment.
        sleep "$(awk -v e="$PUB_START" -v d="$duration" -v n="$(now)" 'BEGIN { d = e + d - n; printf "%.3f", (d > 0 ? d : 0) }')"
        stop=$(now)
        kill -STOP "$PUB_PID"
        sleep 0.3
    fi
    local -A cpu1=() peak=()
    for kind in "${!pid[@]}"; do
        cpu1[$kind]=$(cpu_seconds "${pid[$kind]}")
        peak[$kind]=$(peak_rss_kib "${pid[$kind]}")
    done
    # All at once: one after the other, the last would report after the
    # frozen publisher's lease ran out, its counts reset by the unmatch.
    for kind in "${!pid[@]}"; do kill -INT "${pid[$kind]}" 2>/dev/null || true; done
    for kind in "${!pid[@]}"; do
        READER_PID=${pid[$kind]}
        PTY_PID=${pty[$kind]}
        reap_reader
    done
    if [ $published -eq 1 ]; then
        local killed=$PUB_KILLED note=""
        stop_publisher
        [ "$PUB_KILLED" -gt "$killed" ] && note=",pub-killed"
        for kind in "${!pid[@]}"; do
            line[$kind]=$(case_figures "$kind" "${log[$kind]}" "$stop" "$size" "${cpu0[$kind]}" "${cpu1[$kind]}" \
                "${peak[$kind]}" "$note")
        done
    else
        for kind in "${!pid[@]}"; do line[$kind]="- - - - - - no-publisher"; done
    fi
    for kind in "${LIVE_KINDS[@]}"; do echo "$kind ${line[$kind]}"; done
}

# live_summary LABEL ROWS...: one line from "repeat kind n cpu status" rows:
# each kind's CPU per million samples over the runs that count, the ratios,
# and mon-live/mon-pty of each repeat where both count.
live_summary() {
    local label=$1
    shift
    printf '%s\n' "$@" | awk -v l="$label" '
        { if ($5 ~ /^ok(,pub-killed)?$/ && $3 + 0 > 0 && $4 != "-") { cpu[$2] += $4 * $3; n[$2] += $3; good[$2]++; at[$1, $2] = $4 }
          else bad = bad " " $2 ":" (($5 ~ /^ok/ && $3 + 0 == 0) ? "no-samples" : $5)
          if (!($1 in seen)) { seen[$1] = 1; order[++repeats] = $1 } }
        END {
            for (k in n) per[k] = cpu[k] / n[k]
            live = (per["mon-live"] > 0 && per["mon-pty"] > 0) ? sprintf("%.3f", per["mon-live"] / per["mon-pty"]) : "-"
            pty = (per["mon-pty"] > 0 && per["mon"] > 0) ? sprintf("%.3f", per["mon-pty"] / per["mon"]) : "-"
            # With mon-report among the kinds: the per-writer tallies --live keeps too, and the report they feed.
            report = (per["mon-report"] > 0 && per["mon"] > 0) ? sprintf(", mon-report/mon %.3f", per["mon-report"] / per["mon"]) : ""
            verdict = (live == "-") ? "no-figure" : (live + 0 <= 1.05 ? "within 1.05" : "OVER 1.05")
            each = ""
            for (i = 1; i <= repeats; i++) {
                r = order[i]
                if (((r, "mon-live") in at) && ((r, "mon-pty") in at) && at[r, "mon-pty"] > 0)
                    each = each sprintf(" %.2f", at[r, "mon-live"] / at[r, "mon-pty"])
            }
            printf "%-18s cpu per sample: mon-live/mon-pty %s (%s; %d+%d runs; each:%s), mon-pty/mon %s%s%s\n", l, live,
                   verdict, good["mon-live"], good["mon-pty"], (each == "" ? " -" : each), pty, report,
                   (bad == "" ? "" : "; not counted:" bad) }'
}

live_table() {
    local topics size rate repeat label kind n per_s cpu status base_dir=$WORK_DIR
    local -A rows
    for topics in $LIVE_TOPICS; do
        for size in $LIVE_SIZES; do
            for rate in $LIVE_RATES; do
                for ((repeat = 0; repeat < LIVE_REPEAT; repeat++)); do
                    # Logs of their own: the start of a case is read from its logs.
                    WORK_DIR=$base_dir/live-$repeat
                    mkdir -p "$WORK_DIR"
                    use_case_domain "$case_index"
                    case_index=$((case_index + 1))
                    rows["$topics/$size/$rate/$repeat"]=$(live_together "$size" "$rate" "$topics" "$repeat")
                done
                WORK_DIR=$base_dir
            done
        done
    done
    printf '%-18s %-3s %-9s %12s %10s %10s %s\n' "case" "rep" "reader" "received" "samples/s" "cpu s/Ms" "status"
    for topics in $LIVE_TOPICS; do
        for size in $LIVE_SIZES; do
            for rate in $LIVE_RATES; do
                label="$(size_text "$size") x$topics r=$([ "$rate" = 0 ] && echo max || echo "$rate/s")"
                local counted=()
                for ((repeat = 0; repeat < LIVE_REPEAT; repeat++)); do
                    while read -r kind n _ per_s _ cpu _ status; do
                        printf '%-18s %-3s %-9s %12s %10s %10s %s\n' "$label" "$repeat" "$kind" "$n" "$per_s" "$cpu" \
                            "$status"
                        counted+=("$repeat $kind $n $cpu $status")
                    done <<< "${rows["$topics/$size/$rate/$repeat"]}"
                done
                live_summary "$label" "${counted[@]}"
            done
        done
    done
    echo "All three on one stream at once. mon-live: lumoQuillmon --live on a ${PTY_COLS}x$PTY_ROWS pseudo-terminal"
    echo "(script, TERM=xterm-256color); mon-pty: the same terminal without --live; mon: the plain monitor, its"
    echo "output to a file. r: samples/s per topic. Target: mon-live/mon-pty <= 1.05."
}
