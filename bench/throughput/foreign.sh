# The foreign-writer and at-rest cases of bench/run.sh: sourced after
# common.sh, not run.
#
# Foreign writer: lumoCyclonePub (Cyclone DDS, tests/interop) writes
# AgnosticTopic as fast as its writer takes samples for DURATION seconds,
# into lumoQuillmon and lumoBareReader at once, reliable (KEEP_ALL) into
# Lumo_Default_Profile and best effort into Lumo_BestEffort_Profile. It waits
# for both readers before writing and, reliable, for their acknowledgements
# before it prints "written: N"; it lingers so that the readers count while
# its writer is still matched (an unmatch resets the monitor's counts).
# Cyclone DDS is confined by tests/data/cyclonedds-loopback.xml.

CYCLONE_PUB="$BIN/lumoCyclonePub"
CYCLONE_CONFIG="$ROOT/tests/data/cyclonedds-loopback.xml"

# foreign_case SIZE RELIABILITY(reliable|best-effort) SECONDS: prints
# "written mon bare mon_lost_ids mon_per_s bare_per_s mon_cpu bare_cpu status".
foreign_case() {
    local size=$1 reliability=$2 secs=$3 profile=Lumo_Default_Profile flags=(-a)
    if [ "$reliability" = best-effort ]; then
        profile=Lumo_BestEffort_Profile
        flags=(-b -a)
    fi
    local tag="foreign-$reliability-$size" dir="$WORK_DIR"
    local common=(-t ForeignBench -a 127.0.0.1 --domain-id "$BENCH_DOMAIN" --qos-file "$QOS_FILE" --qos-profile "$profile")
    LD_PRELOAD="$EXIT_REPORT_LIB" "$BIN/lumoQuillmon" "${common[@]}" -i 1 > "$dir/$tag.mon.log" 2>&1 &
    local mon=$!
    STARTED_PIDS+=("$mon")
    "$BIN/lumoBareReader" "${common[@]}" > "$dir/$tag.bare.log" 2>&1 &
    local bare=$!
    STARTED_PIDS+=("$bare")
    if ! wait_for_line "$dir/$tag.mon.log" "Ctrl-C to exit" 30 "$mon" ||
        ! wait_for_line "$dir/$tag.bare.log" "Ctrl-C to exit" 30 "$bare"; then
        READER_PID=$mon stop_reader
        READER_PID=$bare stop_reader
        echo "- - - - - - - - no-start"
        return
    fi
    CYCLONEDDS_URI="file://$CYCLONE_CONFIG" "$CYCLONE_PUB" -t ForeignBench -d "$BENCH_DOMAIN" -r 0 -n 0 -D "$secs" \
        -s "$size" -w 2 -L 10 "${flags[@]}" > "$dir/$tag.pub.log" 2>&1 &
    local pub=$!
    STARTED_PIDS+=("$pub")
    local status=ok
    if ! wait_for_line "$dir/$tag.pub.log" "^matched: " 30 "$pub" || ! grep -q "^matched: 2" "$dir/$tag.pub.log"; then
        status=not-matched
    fi
    local mcpu0 bcpu0 mcpu1 bcpu1
    mcpu0=$(cpu_seconds "$mon")
    bcpu0=$(cpu_seconds "$bare")
    wait_for_line "$dir/$tag.pub.log" "^written: " $((secs + 40)) "$pub" || status=no-end
    sleep 0.3
    mcpu1=$(cpu_seconds "$mon")
    bcpu1=$(cpu_seconds "$bare")
    READER_PID=$mon stop_reader
    READER_PID=$bare stop_reader
    kill -TERM "$pub" 2>/dev/null || true
    wait "$pub" 2>/dev/null || true
    forget_pid "$pub"
    local written mcounts bcount
    written=$(awk '/^written: / { print $2 }' "$dir/$tag.pub.log")
    mcounts=$(reader_counts mon "$dir/$tag.mon.log") || mcounts="- -"
    bcount=$(reader_counts bare "$dir/$tag.bare.log") || bcount="- -"
    grep -q " ERROR " "$dir/$tag.mon.log" && status="$status,errors:$(grep -c " ERROR " "$dir/$tag.mon.log")"
    awk -v w="${written:--}" -v m="$mcounts" -v b="$bcount" -v s="$secs" -v mc0="$mcpu0" -v mc1="$mcpu1" \
        -v bc0="$bcpu0" -v bc1="$bcpu1" -v st="$status" 'BEGIN {
            split(m, mf, " "); split(b, bf, " ")
            printf "%s %s %s %s %.0f %.0f %.2f %.2f %s\n", w, mf[1], bf[1], mf[2], mf[1] / s, bf[1] / s,
                   (mf[1] > 0 ? (mc1 - mc0) / mf[1] * 1e6 : 0), (bf[1] > 0 ? (bc1 - bc0) / bf[1] * 1e6 : 0), st }'
}

run_foreign_cases() {
    local secs=$1 sizes=$2 size reliability row
    declare -A rows
    for size in $sizes; do
        for reliability in reliable best-effort; do
            use_case_domain "$case_index"
            case_index=$((case_index + 1))
            rows["$size/$reliability"]=$(foreign_case "$size" "$reliability" "$secs")
        done
    done
    printf '%-8s %-12s %9s %9s %9s %8s %10s %10s %9s %9s %7s %s\n' "size" "writer" "written" "mon" "bare" "mon gaps" \
        "mon s/s" "bare s/s" "mon cpu" "bare cpu" "rel/be" "status"
    for size in $sizes; do
        read -r _ _ _ _ be_per_s _ _ _ _ <<< "${rows["$size/best-effort"]}"
        for reliability in reliable best-effort; do
            read -r w m b gaps mps bps mcpu bcpu st <<< "${rows["$size/$reliability"]}"
            ratio=""
            [ "$reliability" = reliable ] &&
                ratio=$(awk -v a="$mps" -v b="$be_per_s" 'BEGIN { if (a + 0 > 0 && b + 0 > 0) printf "%.2f", a / b; else print "-" }')
            printf '%-8s %-12s %9s %9s %9s %8s %10s %10s %9s %9s %7s %s\n' "$(size_text "$size")" "$reliability" "$w" "$m" \
                "$b" "$gaps" "$mps" "$bps" "$mcpu" "$bcpu" "$ratio" "$st"
        done
    done
    echo "written: samples the Cyclone DDS writer wrote in ${secs} s; mon, bare: samples each reader took;"
    echo "mon gaps: the monitor's '#lost samples'; s/s: samples taken per second of writing; cpu: reader CPU"
    echo "seconds per million samples; rel/be: the monitor's reliable rate over its best-effort rate, same size."
}

# rest_rss_kib READER TOPICS: sets REST_RSS to the reader's VmRSS (KiB) 5 s
# after its start with N topics and no writer ("-" if it did not start). Run
# in this shell, not a subshell, so that an interrupted bench still stops it.
rest_rss_kib() {
    local reader=$1 topics=$2 log="$WORK_DIR/rest-$1-$2.log" names pid
    names=$(topic_names "$topics" "RestBench")
    local common=(-a 127.0.0.1 --domain-id "$BENCH_DOMAIN" --qos-file "$QOS_FILE" --qos-profile "$QOS_PROFILE")
    if [ "$reader" = mon ]; then
        # shellcheck disable=SC2086
        "$BIN/lumoQuillmon" -t $names "${common[@]}" > "$log" 2>&1 &
    else
        # shellcheck disable=SC2086
        "$BIN/lumoBareReader" -t $names "${common[@]}" > "$log" 2>&1 &
    fi
    pid=$!
    STARTED_PIDS+=("$pid")
    REST_RSS="-"
    if wait_for_line "$log" "Ctrl-C to exit" 30 "$pid"; then
        sleep 5
        REST_RSS=$(rss_kib "$pid")
    fi
    READER_PID=$pid stop_reader
}

run_rest_cases() {
    local topic_counts=$1 topics mon bare
    printf '%-8s %12s %12s %8s\n' "topics" "mon MiB" "bare MiB" "mon/bare"
    for topics in $topic_counts; do
        use_case_domain "$case_index"
        case_index=$((case_index + 1))
        rest_rss_kib mon "$topics"
        mon=$REST_RSS
        rest_rss_kib bare "$topics"
        bare=$REST_RSS
        awk -v t="$topics" -v m="$mon" -v b="$bare" 'BEGIN {
            printf "%-8s %12.1f %12.1f %8s\n", t, m / 1024, b / 1024, (b > 0 ? sprintf("%.2f", m / b) : "-") }'
    done
    echo "VmRSS 5 s after start, no writer on the domain; profile $QOS_PROFILE."
}
