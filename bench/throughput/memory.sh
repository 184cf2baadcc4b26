# Peak resident memory of a monitor that falls behind, with the readers'
# limits of the shipped QoS file ("bounded") beside the same file with the
# limits it had before ("5000": 5000 samples a reader history, KEEP_LAST
# depth 1000), on one
# topic of 64 KiB samples as fast as lumoQuillpub writes: the monitor slowed
# on purpose (-s 2000: 2 ms asleep after every take), and with the ramp check
# (-c); then the open 64 B and 64 KiB path (monitor and bare reader), to show
# that the bound costs no throughput. Sourced by bench/run.sh after run_case
# is defined; memory_table prints the rows. Target: peak <= 100 MiB bounded.

MEMORY_SLEEP_US=${MEMORY_SLEEP_US:-2000}

# The shipped file with the readers' limits as they were before the bound.
unbounded_qos_file() {
    local out=$1
    awk '
        /<data_reader / { reader = 1 }
        /<\/data_reader>/ { reader = 0 }
        reader && /<max_samples>|<max_samples_per_instance>/ { sub(/>[0-9]+</, ">5000<") }
        reader && /<depth>/ { sub(/<depth>[0-9]+</, "<depth>1000<") }
        { print }' "$QOS_FILE" > "$out"
}

memory_table() {
    local bounded=$QOS_FILE unbounded="$WORK_DIR/unbounded-qos.xml"
    unbounded_qos_file "$unbounded"
    # case: label reader size extra-monitor-arguments
    local cases=("64KiB-slowed mon 65536 -s $MEMORY_SLEEP_US" "64KiB-c mon-ramp 65536" "64B mon 64" "64B bare 64"
        "64KiB mon 65536" "64KiB bare 65536")
    local entry label reader size profile extra n lost per_s cpu peak status shm own
    declare -A rows
    for entry in "${cases[@]}"; do
        read -r label reader size extra <<< "$entry"
        for profile in unbounded bounded; do
            use_case_domain "$case_index"
            case_index=$((case_index + 1))
            # shellcheck disable=SC2206
            MONITOR_EXTRA_ARGS=($extra)
            if [ "$profile" = bounded ]; then QOS_FILE=$bounded; else QOS_FILE=$unbounded; fi
            rows["$label/$reader/$profile"]="$(run_case "$reader" ramp "$size" 0 1) $(cat "$WORK_DIR/$reader-ramp-$size-0-1.shmem" 2>/dev/null || echo -)"
        done
    done
    QOS_FILE=$bounded
    MONITOR_EXTRA_ARGS=()
    printf '%-14s %-8s %-8s %10s %6s %10s %9s %9s %8s %8s %s\n' "case" "reader" "limits" "received" "lost" \
        "samples/s" "cpu s/Ms" "peak MiB" "shm MiB" "own MiB" "status"
    for entry in "${cases[@]}"; do
        read -r label reader size _ <<< "$entry"
        for profile in unbounded bounded; do
            read -r n lost per_s _ cpu peak status shm <<< "${rows["$label/$reader/$profile"]}"
            read -r shm own <<< "$(awk -v p="$peak" -v s="$shm" 'BEGIN { if (s + 0 > 0 || s == "0") printf "%.1f %.1f", s / 1024, p - s / 1024; else print "- -" }')"
            printf '%-14s %-8s %-8s %10s %6s %10s %9s %9s %8s %8s %s\n' "$label" "$reader" \
                "$([ "$profile" = bounded ] && echo bounded || echo 5000)" "$n" "$lost" "$per_s" "$cpu" "$peak" "$shm" "$own" \
                "$status"
        done
    done
    echo "one topic, rate max, ${duration} s per case; slowed: lumoQuillmon -s $MEMORY_SLEEP_US; -c: the ramp check;"
    echo "limits 5000: the shipped QoS file with the readers' limits of before the bound (5000 samples, depth"
    echo "1000); peak: reader VmHWM; shm: of it, the publisher's shared-memory pages the monitor has read"
    echo "(RssShmem at the end, at most the writer's segment); own: peak - shm. Target: bounded peak <= 100 MiB,"
    echo "and samples/s of the open path as with 5000."
}
