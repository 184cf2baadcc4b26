# shellcheck shell=bash
# The monitor's intake ceiling, for bench/run.sh: sourced after common.sh,
# foreign.sh and anytype.sh, not run. 64 B samples, reliable KEEP_ALL.
#
# 1. Writers that give more than a reader can take, into lumoQuillmon, then
#    lumoBareReader alone, on 1 and 15 topics:
#      quillpub  INTAKE_PUBS lumoQuillpub processes (-r 0, shared memory);
#      cyclone   lumoCyclonePub (-r 0, UDP), Cyclone DDS batching its
#                writes (<Internal><WriteBatch>): several samples per
#                datagram; one process per topic.
#    Each case writes INTAKE_TOTAL samples in all and waits for every
#    acknowledgement: every one of them is taken (a reliable KEEP_ALL
#    reader), so CPU per sample needs no count from the reader, whose
#    "#samples" a later writer's match restarts. The monitor's id checks
#    see several writers' ids on one topic: its gaps mean nothing here.
#    Writers stop after INTAKE_MAX_SECS (status "written:N"): Fast DDS 2.9
#    readers fed by several writers at once sometimes fall to a few thousand
#    samples/s for good.
# 2. ddsperf pub (-T KS) into lumoQuillmon --any-type --seq-field 4:4 beside
#    ddsperf sub (and lumoBareReader) in anytype.sh's namespace, at
#    INTAKE_DDSPERF_RATE samples/s (CPU per sample at a fixed rate survives
#    the machine's load) and flat out.
# 3. Levers: the same measures (quillpub, 1 topic; ddsperf at the fixed
#    rate) with a variant of the reader's QoS file (bench/throughput/
#    intakeLevers.sh makes them from the shipped one) beside the shipped file,
#    in turn, in the same run.

INTAKE_PUBS=${INTAKE_PUBS:-3}
INTAKE_TOTAL=${INTAKE_TOTAL:-300000}
INTAKE_DDSPERF_RATE=${INTAKE_DDSPERF_RATE:-20000}
INTAKE_MAX_SECS=${INTAKE_MAX_SECS:-20}
INTAKE_CYCLONE_URI="file://$CYCLONE_CONFIG,<Internal><WriteBatch>true</WriteBatch></Internal>"
# shellcheck source=intakeLevers.sh
source bench/throughput/intakeLevers.sh

# intake_case WRITER READER TOPICS [READER_QOS_FILE]: prints "samples
# samples_per_s cpu_s_per_million status".
intake_case() {
    local writer=$1 reader=$2 topics=$3 qos=${4:-$QOS_FILE}
    local tag names pids=() i t0
    tag="intake-$writer-$reader-$topics-$(basename "$qos" .xml)"
    names=$(topic_names "$topics" IntakeBench)
    use_case_domain "$case_index"
    case_index=$((case_index + 1))
    # shellcheck disable=SC2086
    QOS_FILE=$qos start_reader "$reader" "$WORK_DIR/$tag.reader.log" $names || { echo "- - - no-start"; return; }
    local cpu0 count expected status=ok
    cpu0=$(cpu_seconds "$READER_PID")
    t0=$(now)
    if [ "$writer" = quillpub ]; then
        count=$((INTAKE_TOTAL / INTAKE_PUBS / topics))
        expected=$((count * topics * INTAKE_PUBS))
        for ((i = 0; i < INTAKE_PUBS; i++)); do
            # shellcheck disable=SC2086
            "$BIN/lumoQuillpub" -t $names -a 127.0.0.1 --domain-id "$BENCH_DOMAIN" --qos-file "$QOS_FILE" -r 0 \
                -n "$count" --duration "$INTAKE_MAX_SECS" --payload-size 64 --wait-readers 1 --ack-timeout 5 > "$WORK_DIR/$tag.pub$i.log" 2>&1 &
            pids+=($!)
        done
    else
        count=$((INTAKE_TOTAL / topics))
        expected=$((count * topics))
        for t in $names; do
            CYCLONEDDS_URI=$INTAKE_CYCLONE_URI "$CYCLONE_PUB" -t "$t" -d "$BENCH_DOMAIN" -r 0 -n "$count" -s 64 -a \
                -D "$INTAKE_MAX_SECS" -w 1 > "$WORK_DIR/$tag.pub-$t.log" 2>&1 &
            pids+=($!)
        done
    fi
    STARTED_PIDS+=("${pids[@]}")
    local pid written=0 end
    for pid in "${pids[@]}"; do
        wait "$pid" || status="$status,writer-failed"
        forget_pid "$pid"
    done
    end=$(now)
    local cpu1
    cpu1=$(cpu_seconds "$READER_PID")
    stop_reader
    # Samples written: every writer's own summary.
    if [ "$writer" = quillpub ]; then
        written=$(cat "$WORK_DIR/$tag".pub*.log | awk '/samples written:/ { for (i = 1; i < NF; i++) if ($i == "written:") n += $(i + 1) } END { print n + 0 }')
    else
        written=$(cat "$WORK_DIR/$tag".pub-*.log | awk '/^written: / { n += $2 } END { print n + 0 }')
    fi
    [ "$written" = "$expected" ] || status="$status,written:$written"
    if [ "$reader" = bare ]; then
        local taken
        taken=$(awk '/^bare total samples:/ { print $4 }' "$WORK_DIR/$tag.reader.log")
        [ "${taken:-0}" = "$written" ] || status="$status,taken:${taken:--}"
    fi
    # From the start of the writers to the last acknowledgement, their
    # discovery included: samples/s is a lower bound, the same for every case.
    awk -v n="$written" -v t0="$t0" -v t1="$end" -v c0="$cpu0" -v c1="$cpu1" -v st="$status" 'BEGIN {
        printf "%d %.0f %s %s\n", n, n / (t1 - t0), (n > 0 ? sprintf("%.2f", (c1 - c0) / n * 1e6) : "-"), st }'
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

intake_table() {
    local writer topics mon bare
    echo "writers give more than a reader takes: $INTAKE_TOTAL samples of 64 B in all; each reader alone"
    printf '%-22s %9s %9s %9s %9s %7s %7s %s\n' "writer" "mon s/s" "mon cpu" "bare s/s" "bare cpu" "m/b n" "m/b c" "status"
    for writer in quillpub cyclone; do
        for topics in 1 15; do
            mon=$(intake_case "$writer" mon "$topics")
            bare=$(intake_case "$writer" bare "$topics")
            local mps mcpu mst bps bcpu bst
            read -r _ mps mcpu mst <<< "$mon"
            read -r _ bps bcpu bst <<< "$bare"
            printf '%-22s %9s %9s %9s %9s %7s %7s %s\n' \
                "$([ "$writer" = quillpub ] && echo "lumoQuillpub x$INTAKE_PUBS" || echo "lumoCyclonePub batch") x$topics" \
                "$mps" "$mcpu" "$bps" "$bcpu" "$(ratio "$mps" "$bps")" "$(ratio "$mcpu" "$bcpu")" "mon:$mst bare:$bst"
        done
    done
    echo "s/s: samples written / seconds from the writers' start to their last acknowledgement; cpu: reader"
    echo "CPU s per million samples; m/b: monitor / bare reader. Cyclone DDS batches (WriteBatch): several"
    echo "samples per datagram, over UDP; lumoQuillpub over shared memory."
    echo

    if ! anytype_make_ns; then
        echo "cannot make a network namespace (root and iproute2 are needed): ddsperf rows and levers skipped"
        return
    fi
    trap 'cleanup_started; anytype_remove_ns' EXIT
    trap 'exit 130' INT TERM
    printf '%-30s %9s %9s %9s %9s %9s %7s %7s %s\n' "ddsperf pub KS 64 B" "mon s/s" "mon cpu" "sub s/s" "sub cpu" \
        "bare cpu" "m/sub c" "m/b c" "status"
    intake_print_ddsperf "at $INTAKE_DDSPERF_RATE/s" "$(intake_ddsperf "$INTAKE_DDSPERF_RATE")"
    intake_print_ddsperf "flat out" "$(intake_ddsperf "")"
    echo "mon: lumoQuillmon --any-type --seq-field 4:4; sub: ddsperf sub; bare: lumoBareReader --raw-type, all"
    echo "three reading at once; s/s: steady rates; m/sub c: monitor / ddsperf sub in CPU per sample (goal <= 2)."
    echo

    if [ -n "${INTAKE_LEVERS:-}" ]; then
        echo "levers (the reader's QoS file only), each beside the shipped file, in turn:"
        printf '%-30s %9s %9s %9s %9s %9s %9s %7s %s\n' "lever" "mon s/s" "mon cpu" "bare s/s" "bare cpu" \
            "dp mon" "dp sub" "m/sub c" "status"
        local lever file dp
        for lever in $INTAKE_LEVERS; do
            for file in "$QOS_FILE" "$(intake_lever_file "$lever")"; do
                mon=$(intake_case quillpub mon 1 "$file")
                bare=$(intake_case quillpub bare 1 "$file")
                dp=$(intake_ddsperf "$INTAKE_DDSPERF_RATE" "$file")
                read -r _ mps mcpu mst <<< "$mon"
                read -r _ bps bcpu bst <<< "$bare"
                local dmcpu dscpu dst
                read -r _ _ dmcpu _ _ _ dscpu _ _ _ _ dst <<< "$dp"
                printf '%-30s %9s %9s %9s %9s %9s %9s %7s %s\n' \
                    "$([ "$file" = "$QOS_FILE" ] && echo "  shipped" || echo "$lever")" "$mps" "$mcpu" "$bps" "$bcpu" \
                    "$dmcpu" "$dscpu" "$(ratio "$dmcpu" "$dscpu")" "$mst/$bst/$dst"
            done
        done
        echo "mon, bare: lumoQuillpub x$INTAKE_PUBS, 1 topic; dp: ddsperf at $INTAKE_DDSPERF_RATE/s, CPU s per million samples."
    fi
    cleanup_started
    anytype_remove_ns
    trap cleanup_started EXIT INT TERM
}
