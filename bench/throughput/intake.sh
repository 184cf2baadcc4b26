# shellcheck shell=bash
# The monitor's intake ceiling, for bench/run.sh: sourced after common.sh,
# foreign.sh and anytype.sh, not run. 64 B samples, reliable KEEP_ALL.
#
# 1. Writers that give more than a reader can take, into lumoQuillmon, then
#    lumoBareReader alone, on 1 and 15 topics:
#      quillpub  INTAKE_PUBS lumoQuillpub processes (-r 0, shared memory);
#      cyclone   lumoCyclonePub (-r 0, UDP), Cyclone DDS batching its
#                writes (<Internal><WriteBatch>): several samples per
#                datagram; one process per topic;
#      cyclone-plain the same without batching, 1 topic.
#    INTAKE_SECS (default: the bench's duration) from the reader's start;
#    samples/s and CPU per million samples taken. (The monitor's id checks
#    see several writers' ids on one topic: its gaps mean nothing here.)
# 2. ddsperf pub (-T KS) into lumoQuillmon --any-type --seq-field 4:4 beside
#    ddsperf sub (and lumoBareReader) in anytype.sh's namespace, at
#    INTAKE_DDSPERF_RATE samples/s (CPU per sample at a fixed rate survives
#    the machine's load) and flat out.
# 3. Levers: the same measures (one lumoQuillpub, 1 topic; ddsperf at the
#    fixed rate) with a variant of the reader's QoS file (bench/throughput/
#    intakeLevers.sh makes them from the shipped one) beside the shipped file,
#    in turn, in the same run.

INTAKE_PUBS=${INTAKE_PUBS:-3}
INTAKE_SECS=${INTAKE_SECS:-5}
INTAKE_DDSPERF_RATE=${INTAKE_DDSPERF_RATE:-20000}
INTAKE_CYCLONE_URI="file://$CYCLONE_CONFIG,<Internal><WriteBatch>true</WriteBatch></Internal>"
# shellcheck source=intakeLevers.sh
source bench/throughput/intakeLevers.sh

# intake_case WRITER READER TOPICS [READER_QOS_FILE]: prints "samples
# samples_per_s cpu_s_per_million status". The writers start first and wait
# for the reader, so that they all match it at its start: a match restarts
# the monitor's "#samples". They are frozen at the end and end after the
# reader, whose counts an unmatch would reset too.
intake_case() {
    local writer=$1 reader=$2 topics=$3 qos=${4:-$QOS_FILE}
    local tag names pids=() i t
    tag="intake-$writer-$reader-$topics-$(basename "$qos" .xml)"
    names=$(topic_names "$topics" IntakeBench)
    use_case_domain "$case_index"
    case_index=$((case_index + 1))
    if [ "$writer" = quillpub ]; then
        for ((i = 0; i < INTAKE_PUBS; i++)); do
            # shellcheck disable=SC2086
            "$BIN/lumoQuillpub" -t $names -a 127.0.0.1 --domain-id "$BENCH_DOMAIN" --qos-file "$QOS_FILE" -r 0 \
                --payload-size 64 --wait-readers 1 --wait-timeout 60 --ack-timeout 1 > "$WORK_DIR/$tag.pub$i.log" 2>&1 &
            pids+=($!)
        done
    else
        local uri=$INTAKE_CYCLONE_URI
        [ "$writer" = cyclone-plain ] && uri="file://$CYCLONE_CONFIG"
        for t in $names; do
            CYCLONEDDS_URI=$uri "$CYCLONE_PUB" -t "$t" -d "$BENCH_DOMAIN" -r 0 -n 0 -s 64 -a \
                -D 3600 -w 1 > "$WORK_DIR/$tag.pub-$t.log" 2>&1 &
            pids+=($!)
        done
    fi
    STARTED_PIDS+=("${pids[@]}")
    local status=ok cpu0 t0 cpu1 t1 counts
    # shellcheck disable=SC2086
    if QOS_FILE=$qos start_reader "$reader" "$WORK_DIR/$tag.reader.log" $names; then
        cpu0=$(cpu_seconds "$READER_PID")
        t0=$(now)
        sleep "$INTAKE_SECS"
        kill -STOP "${pids[@]}"
        t1=$(now)
        sleep 0.3
        cpu1=$(cpu_seconds "$READER_PID")
        stop_reader
        counts=$(reader_counts "$reader" "$WORK_DIR/$tag.reader.log") || status=no-report
    else
        status=no-start
    fi
    kill -CONT "${pids[@]}" 2>/dev/null || true
    kill -TERM "${pids[@]}" 2>/dev/null || true
    for i in "${pids[@]}"; do
        wait "$i" 2>/dev/null || true
        forget_pid "$i"
    done
    [ "$status" = ok ] || { echo "- - - $status"; return; }
    awk -v c="$counts" -v t0="$t0" -v t1="$t1" -v c0="$cpu0" -v c1="$cpu1" 'BEGIN {
        split(c, f, " "); n = f[1]
        printf "%d %.0f %s ok\n", n, n / (t1 - t0), (n > 0 ? sprintf("%.2f", (c1 - c0) / n * 1e6) : "-") }'
}

# intake_ddsperf RATE [READER_QOS_FILE]: anytype_ddsperf's row.
intake_ddsperf() {
    use_case_domain "$case_index"
    case_index=$((case_index + 1))
    QOS_FILE=${2:-$QOS_FILE} anytype_ddsperf "$1" "intake-ddsperf-${1:-max}-$(basename "${2:-$QOS_FILE}" .xml)"
}

intake_print_ddsperf() {
    local label=$1 mps mcpu sps scpu bcpu st
    read -r _ mps mcpu _ _ sps scpu _ _ bcpu _ st <<< "$2"
    printf '%-30s %9s %9s %9s %9s %9s %7s %7s %s\n' "$label" "$mps" "$mcpu" "$sps" "$scpu" "$bcpu" \
        "$(ratio "$mcpu" "$scpu")" "$(ratio "$mcpu" "$bcpu")" "$st"
}

# INTAKE_LEVERS_ONLY=1: the levers alone, without the first two tables.
intake_table() {
    [ "${INTAKE_LEVERS_ONLY:-0}" = 1 ] || intake_writers_table
    if ! anytype_make_ns; then
        echo "cannot make a network namespace (root and iproute2 are needed): ddsperf rows and levers skipped"
        return
    fi
    trap 'cleanup_started; anytype_remove_ns' EXIT
    trap 'exit 130' INT TERM
    [ "${INTAKE_LEVERS_ONLY:-0}" = 1 ] || intake_ddsperf_table
    [ -z "${INTAKE_LEVERS:-}" ] || intake_levers_table
    cleanup_started
    anytype_remove_ns
    trap cleanup_started EXIT INT TERM
}

intake_writers_table() {
    local writer topics mon bare
    echo "writers give more than a reader takes, $INTAKE_SECS s; each reader alone"
    printf '%-22s %9s %9s %9s %9s %7s %7s %s\n' "writer" "mon s/s" "mon cpu" "bare s/s" "bare cpu" "m/b n" "m/b c" "status"
    for writer in quillpub cyclone cyclone-plain; do
        for topics in 1 15; do
            # Unbatched, for comparison: one topic.
            [ "$writer" = cyclone-plain ] && [ "$topics" = 15 ] && continue
            mon=$(intake_case "$writer" mon "$topics")
            bare=$(intake_case "$writer" bare "$topics")
            local mps mcpu mst bps bcpu bst
            read -r _ mps mcpu mst <<< "$mon"
            read -r _ bps bcpu bst <<< "$bare"
            printf '%-22s %9s %9s %9s %9s %7s %7s %s\n' \
                "$(case $writer in quillpub) echo "lumoQuillpub x$INTAKE_PUBS" ;; cyclone) echo "lumoCyclonePub batch" ;;
                    *) echo "lumoCyclonePub" ;; esac) x$topics" \
                "$mps" "$mcpu" "$bps" "$bcpu" "$(ratio "$mps" "$bps")" "$(ratio "$mcpu" "$bcpu")" "mon:$mst bare:$bst"
        done
    done
    echo "s/s: samples taken per second from the reader's start (its writers waiting for it); cpu: reader"
    echo "CPU s per million samples; m/b: monitor / bare reader. Cyclone DDS batches (WriteBatch): several"
    echo "samples per datagram, over UDP (lumoCyclonePub: without batching); lumoQuillpub over shared memory."
    echo
}

intake_ddsperf_table() {
    printf '%-30s %9s %9s %9s %9s %9s %7s %7s %s\n' "ddsperf pub KS 64 B" "mon s/s" "mon cpu" "sub s/s" "sub cpu" \
        "bare cpu" "m/sub c" "m/b c" "status"
    intake_print_ddsperf "at $INTAKE_DDSPERF_RATE/s" "$(intake_ddsperf "$INTAKE_DDSPERF_RATE")"
    intake_print_ddsperf "flat out" "$(intake_ddsperf "")"
    echo "mon: lumoQuillmon --any-type --seq-field 4:4; sub: ddsperf sub; bare: lumoBareReader --raw-type, all"
    echo "three reading at once; s/s: steady rates; m/sub c: monitor / ddsperf sub in CPU per sample (goal <= 2)."
    echo
}

intake_levers_table() {
    local lever file variant mon bare dp mps mcpu mst bps bcpu bst dmcpu dscpu dst
    echo "levers (the reader's QoS file only), each beside the shipped file, in turn:"
    printf '%-30s %9s %9s %9s %9s %9s %9s %7s %s\n' "lever" "mon s/s" "mon cpu" "bare s/s" "bare cpu" \
        "dp mon" "dp sub" "m/sub c" "status"
    for lever in $INTAKE_LEVERS; do
        # A lever that cannot be made is not measured as the shipped file.
        if ! variant=$(intake_lever_file "$lever"); then
            printf '%-30s %s\n' "$lever" "not made: see above"
            continue
        fi
        for file in "$QOS_FILE" "$variant"; do
            # One writer: several collapse a Fast DDS reader (see above).
            mon=$(INTAKE_PUBS=1 intake_case quillpub mon 1 "$file")
            bare=$(INTAKE_PUBS=1 intake_case quillpub bare 1 "$file")
            dp=$(intake_ddsperf "$INTAKE_DDSPERF_RATE" "$file")
            read -r _ mps mcpu mst <<< "$mon"
            read -r _ bps bcpu bst <<< "$bare"
            read -r _ _ dmcpu _ _ _ dscpu _ _ _ _ dst <<< "$dp"
            printf '%-30s %9s %9s %9s %9s %9s %9s %7s %s\n' \
                "$([ "$file" = "$QOS_FILE" ] && echo "  shipped" || echo "$lever")" "$mps" "$mcpu" "$bps" "$bcpu" \
                "$dmcpu" "$dscpu" "$(ratio "$dmcpu" "$dscpu")" "$mst/$bst/$dst"
        done
    done
    echo "mon, bare: one lumoQuillpub, 1 topic; dp: ddsperf at $INTAKE_DDSPERF_RATE/s, CPU s per million samples."
}
