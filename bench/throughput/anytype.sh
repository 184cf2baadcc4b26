# shellcheck shell=bash
# Reading any type (--any-type), for bench/run.sh: sourced after common.sh
# and foreign.sh, not run.
#
# Every process of this section runs in a network namespace made here
# (loopback only, multicast on, as ddsperf needs to find Fast DDS readers)
# and removed at the end, on any exit: nothing reaches another interface.
#
# 1. lumoCyclonePub (reliable, KEEP_ALL, as fast as its writer takes
#    samples) into a monitor and a bare reader at once, as foreign.sh runs
#    them:
#      agnostic  AgnosticTopic -> lumoQuillmon and lumoBareReader;
#      raw id    `-y other::AgnosticTopic` (the same layout under another
#                name: read as raw bytes) -> lumoQuillmon --any-type
#                --seq-field 4:4 and lumoBareReader --raw-type;
#      raw       the same, the monitor without --seq-field.
# 2. ddsperf pub (-T KS, reliable, size 64, as fast as it can) into
#    lumoQuillmon --any-type --seq-field 4:4 and ddsperf sub at once.

ANYTYPE_NS=""
ANYTYPE_SECS=2
ANYTYPE_RAW_TYPE=other::AgnosticTopic

anytype_remove_ns() { remove_ns ANYTYPE_NS; }
anytype_make_ns() { make_multicast_ns ANYTYPE_NS "lumo-bench-any-$$"; }

# anytype_start VAR LOG [NAME=VALUE...] CMD...: starts CMD in the namespace,
# its pid in VAR (ip and env exec it: the same process).
anytype_start() {
    local var=$1 log=$2
    shift 2
    ip netns exec "$ANYTYPE_NS" env "$@" > "$log" 2>&1 &
    printf -v "$var" '%s' "$!"
    STARTED_PIDS+=("${!var}")
}

# anytype_pair SIZE KIND: KIND agnostic, raw-id or raw. Prints "written
# mon_n mon_per_s mon_cpu mon_peak_kib bare_n bare_per_s bare_cpu
# bare_peak_kib status"; cpu: seconds per million samples.
anytype_pair() {
    local size=$1 kind=$2 secs=$ANYTYPE_SECS
    local tag="anytype-$kind-$size" dir="$WORK_DIR"
    local common=(-t AnyTypeBench -a 127.0.0.1 --domain-id "$BENCH_DOMAIN" --qos-file "$QOS_FILE"
        --qos-profile Lumo_Default_Profile)
    local mon_args=() bare_args=() pub_args=()
    case $kind in
    raw-id) mon_args=(--any-type --seq-field 4:4) ;;
    raw) mon_args=(--any-type) ;;
    esac
    if [ "$kind" != agnostic ]; then
        bare_args=(--raw-type "$ANYTYPE_RAW_TYPE")
        pub_args=(-y "$ANYTYPE_RAW_TYPE")
    fi
    local mon bare pub
    anytype_start mon "$dir/$tag.mon.log" LD_PRELOAD="$EXIT_REPORT_LIB" "$BIN/lumoQuillmon" "${common[@]}" -i 1 \
        "${mon_args[@]}"
    anytype_start bare "$dir/$tag.bare.log" "$BIN/lumoBareReader" "${common[@]}" "${bare_args[@]}"
    if ! wait_for_line "$dir/$tag.mon.log" "Ctrl-C to exit" 30 "$mon" ||
        ! wait_for_line "$dir/$tag.bare.log" "Ctrl-C to exit" 30 "$bare"; then
        READER_PID=$mon stop_reader
        READER_PID=$bare stop_reader
        echo "- - - - - - - - - no-start"
        return
    fi
    anytype_start pub "$dir/$tag.pub.log" CYCLONEDDS_URI="file://$CYCLONE_CONFIG" "$CYCLONE_PUB" -t AnyTypeBench \
        -d "$BENCH_DOMAIN" -r 0 -n 0 -D "$secs" -s "$size" -w 2 -L 10 -a "${pub_args[@]}"
    local status=ok
    if ! wait_for_line "$dir/$tag.pub.log" "^matched: " 30 "$pub" || ! grep -q "^matched: 2" "$dir/$tag.pub.log"; then
        status=not-matched
    fi
    # The writer waits half a second after the match: the readers are idle.
    local mcpu0 bcpu0 mcpu1 bcpu1 mpeak bpeak
    mcpu0=$(cpu_seconds "$mon")
    bcpu0=$(cpu_seconds "$bare")
    wait_for_line "$dir/$tag.pub.log" "^written: " $((secs + 40)) "$pub" || status=no-end
    sleep 0.3
    mcpu1=$(cpu_seconds "$mon")
    bcpu1=$(cpu_seconds "$bare")
    mpeak=$(peak_rss_kib "$mon")
    bpeak=$(peak_rss_kib "$bare")
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
    # The monitor's '#lost samples' (id gaps, or RTPS sequence numbers lost).
    local mlost
    read -r _ mlost <<< "$mcounts"
    [[ $mlost =~ ^[0-9]+$ ]] && [ "$mlost" -gt 0 ] && status="$status,lost:$mlost"
    awk -v w="${written:--}" -v m="$mcounts" -v b="$bcount" -v s="$secs" -v mc0="$mcpu0" -v mc1="$mcpu1" \
        -v bc0="$bcpu0" -v bc1="$bcpu1" -v mp="$mpeak" -v bp="$bpeak" -v st="$status" 'BEGIN {
            split(m, mf, " "); split(b, bf, " ")
            printf "%s %s %.0f %s %s %s %.0f %s %s %s\n", w, mf[1], mf[1] / s,
                   (mf[1] > 0 ? sprintf("%.2f", (mc1 - mc0) / mf[1] * 1e6) : "-"), mp, bf[1], bf[1] / s,
                   (bf[1] > 0 ? sprintf("%.2f", (bc1 - bc0) / bf[1] * 1e6) : "-"), bp, st }'
}

# Latest cumulative sample count in a ddsperf sub log ("0" before any).
ddsperf_total() {
    awk '/ size [0-9]+ total / { for (i = 1; i <= NF; i++) if ($i == "total") t = $(i + 1) } END { print t + 0 }' "$1"
}

# Mean of ddsperf sub's per-second rates (samples/s), its first second of
# data and the seconds after the writer stopped left out.
ddsperf_steady_rate() {
    awk '/ size [0-9]+ total / { for (i = 1; i <= NF; i++) if ($i == "delta") d = $(i + 1)
             if (d > 0) { n++; if (n > 1) r[n] = d } }
         END { for (i = 2; i < n; i++) { s += r[i]; c++ } if (c) printf "%.0f\n", s / c; else print "-" }' "$1"
}

# Mean rate_hz of the monitor's periodic writer records, the first and the
# last period (start-up, stop) and the exit records left out.
report_steady_rate() {
    grep '"writer"' "$1" | grep -v '"final":true' |
        awk '{ if (match($0, /"rate_hz":[0-9.e+-]+/)) { v = substr($0, RSTART + 10, RLENGTH - 10); if (v > 0) r[++n] = v } }
             END { for (i = 2; i < n; i++) { s += r[i]; c++ } if (c) printf "%.0f\n", s / c; else print "-" }'
}

# anytype_ddsperf: prints "mon_n mon_per_s mon_cpu mon_peak_kib sub_n
# sub_per_s sub_cpu sub_peak_kib bare_n bare_cpu bare_peak_kib status"; the
# bare reader (--raw-type KeyedSeq --keyed) reads beside them: the monitor's
# Fast DDS ceiling on the same stream. The monitor makes its reader at
# discovery and Fast DDS matches a new Cyclone DDS participant later than
# ddsperf sub does, so samples/s are steady rates: ddsperf sub's per-second
# lines, the monitor's per-second report records (--report-period 1), the
# first and last seconds of each left out. CPU per sample is over the run.
# RATE (samples/s, optional): ddsperf pub at that rate instead of flat out;
# TAG: the logs' name.
anytype_ddsperf() {
    local rate=${1:-} tag=${2:-anytype-ddsperf}
    local secs=$((ANYTYPE_SECS > 4 ? ANYTYPE_SECS : 4)) dir="$WORK_DIR"
    local perf=(ddsperf -i "$BENCH_DOMAIN" -T KS)
    local mon sub bare pub status=ok
    anytype_start mon "$dir/$tag.mon.log" LD_PRELOAD="$EXIT_REPORT_LIB" "$BIN/lumoQuillmon" -t DDSPerfRDataKS \
        --domain-id "$BENCH_DOMAIN" --qos-file "$QOS_FILE" --qos-profile Lumo_Default_Profile -i 1 \
        --any-type --seq-field 4:4 --report "$dir/$tag.jsonl" --report-period 1
    # -1: a line every second, data or not: the count after the writer stops.
    anytype_start sub "$dir/$tag.sub.log" "${perf[@]}" -1 sub
    anytype_start bare "$dir/$tag.bare.log" "$BIN/lumoBareReader" -t DDSPerfRDataKS --domain-id "$BENCH_DOMAIN" \
        --qos-file "$QOS_FILE" --qos-profile Lumo_Default_Profile --raw-type KeyedSeq --keyed
    if ! wait_for_line "$dir/$tag.mon.log" "Ctrl-C to exit" 30 "$mon" ||
        ! wait_for_line "$dir/$tag.bare.log" "Ctrl-C to exit" 30 "$bare"; then
        READER_PID=$mon stop_reader
        READER_PID=$sub stop_reader
        READER_PID=$bare stop_reader
        echo "- - - - - - - - - - - no-start"
        return
    fi
    local mcpu0 scpu0 bcpu0
    mcpu0=$(cpu_seconds "$mon")
    scpu0=$(cpu_seconds "$sub")
    bcpu0=$(cpu_seconds "$bare")
    anytype_start pub "$dir/$tag.pub.log" "${perf[@]}" pub ${rate:+"${rate}Hz"} size 64
    sleep "$secs"
    kill -STOP "$pub"
    # A line of ddsperf sub after the last sample.
    sleep 1.3
    local mcpu1 scpu1 bcpu1 mpeak speak bpeak sub1
    mcpu1=$(cpu_seconds "$mon")
    scpu1=$(cpu_seconds "$sub")
    bcpu1=$(cpu_seconds "$bare")
    mpeak=$(peak_rss_kib "$mon")
    speak=$(peak_rss_kib "$sub")
    bpeak=$(peak_rss_kib "$bare")
    sub1=$(ddsperf_total "$dir/$tag.sub.log")
    READER_PID=$mon stop_reader
    READER_PID=$sub stop_reader
    READER_PID=$bare stop_reader
    kill -CONT "$pub" 2>/dev/null || true
    kill -TERM "$pub" 2>/dev/null || true
    wait "$pub" 2>/dev/null || true
    forget_pid "$pub"
    local mcounts mlost bcount
    mcounts=$(reader_counts mon "$dir/$tag.mon.log") || mcounts="- -"
    bcount=$(reader_counts bare "$dir/$tag.bare.log") || bcount="- -"
    read -r _ mlost <<< "$mcounts"
    [[ $mlost =~ ^[0-9]+$ ]] && [ "$mlost" -gt 0 ] && status="$status,lost:$mlost"
    awk -v m="$mcounts" -v n="$sub1" -v mr="$(report_steady_rate "$dir/$tag.jsonl")" \
        -v sr="$(ddsperf_steady_rate "$dir/$tag.sub.log")" -v mc0="$mcpu0" -v mc1="$mcpu1" -v sc0="$scpu0" \
        -v sc1="$scpu1" -v mp="$mpeak" -v sp="$speak" -v b="$bcount" -v bc0="$bcpu0" -v bc1="$bcpu1" \
        -v bp="$bpeak" -v st="$status" 'BEGIN {
            split(m, mf, " "); split(b, bf, " ")
            # A reader that took nothing did not pair with the writer.
            if (mf[1] + 0 == 0) st = st ",monitor-took-none"
            if (n + 0 == 0) st = st ",sub-took-none"
            if (bf[1] + 0 == 0) st = st ",bare-took-none"
            printf "%s %s %s %s %d %s %s %s %s %s %s %s\n", mf[1], mr,
                   (mf[1] > 0 ? sprintf("%.2f", (mc1 - mc0) / mf[1] * 1e6) : "-"), mp, n, sr,
                   (n > 0 ? sprintf("%.2f", (sc1 - sc0) / n * 1e6) : "-"), sp, bf[1],
                   (bf[1] > 0 ? sprintf("%.2f", (bc1 - bc0) / bf[1] * 1e6) : "-"), bp, st }'
}

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (a + 0 > 0 && b + 0 > 0) printf "%.2f", a / b; else print "-" }'; }

# anytype_table SECONDS SIZES: runs every case and prints the tables.
anytype_table() {
    ANYTYPE_SECS=$1
    local sizes=$2 size kind row
    declare -A rows
    if ! anytype_make_ns; then
        echo "cannot make a network namespace (root and iproute2 are needed): section skipped"
        return
    fi
    # The namespace goes on any exit, the processes in it first; an
    # interrupt ends the run once the case under way has stopped its own.
    trap 'cleanup_started; anytype_remove_ns' EXIT
    trap 'exit 130' INT TERM
    for size in $sizes; do
        for kind in agnostic raw-id raw; do
            use_case_domain "$case_index"
            case_index=$((case_index + 1))
            rows["$size/$kind"]=$(anytype_pair "$size" "$kind")
        done
    done
    use_case_domain "$case_index"
    case_index=$((case_index + 1))
    row=$(anytype_ddsperf)
    cleanup_started
    anytype_remove_ns
    trap cleanup_started EXIT INT TERM

    printf '%-6s %-9s %9s %9s %8s %7s %9s %8s %7s %6s %6s %6s %6s %s\n' "size" "reader" "mon s/s" "mon cpu" \
        "mon MiB" "" "bare s/s" "bare cpu" "b MiB" "m/b n" "m/b c" "m/a n" "m/a c" "status"
    for size in $sizes; do
        read -r _ _ aps acpu _ _ _ _ _ _ <<< "${rows["$size/agnostic"]}"
        for kind in agnostic raw-id raw; do
            read -r _ _ mps mcpu mpeak _ bps bcpu bpeak st <<< "${rows["$size/$kind"]}"
            local ma_n="" ma_c=""
            if [ "$kind" != agnostic ]; then
                ma_n=$(ratio "$mps" "$aps")
                ma_c=$(ratio "$mcpu" "$acpu")
            fi
            printf '%-6s %-9s %9s %9s %8s %7s %9s %8s %7s %6s %6s %6s %6s %s\n' "$(size_text "$size")" "$kind" \
                "$mps" "$mcpu" "$(awk -v k="${mpeak:-0}" 'BEGIN { printf "%.1f", k / 1024 }')" "" "$bps" "$bcpu" \
                "$(awk -v k="${bpeak:-0}" 'BEGIN { printf "%.1f", k / 1024 }')" "$(ratio "$mps" "$bps")" \
                "$(ratio "$mcpu" "$bcpu")" "$ma_n" "$ma_c" "$st"
        done
    done
    echo "lumoCyclonePub -> lumoQuillmon and lumoBareReader at once, reliable, ${ANYTYPE_SECS} s of writing."
    echo "agnostic: AgnosticTopic, both readers of AgnosticTopic; raw id: $ANYTYPE_RAW_TYPE, the monitor"
    echo "--any-type --seq-field 4:4, the bare reader --raw-type; raw: the monitor --any-type alone."
    echo "s/s: samples taken per second of writing; cpu: reader CPU s per million samples; MiB: peak RSS;"
    echo "m/b: monitor / bare reader (n samples/s, c CPU per sample); m/a: monitor / agnostic monitor."
    echo
    local mn mps mcpu mpeak sn sps scpu speak bn bcpu bpeak st
    read -r mn mps mcpu mpeak sn sps scpu speak bn bcpu bpeak st <<< "$row"
    printf '%-28s %10s %10s %9s %8s\n' "ddsperf pub KS 64 B ->" "samples" "samples/s" "cpu s/Ms" "peak MiB"
    printf '%-28s %10s %10s %9s %8s\n' "lumoQuillmon --any-type" "$mn" "$mps" "$mcpu" \
        "$(awk -v k="${mpeak:-0}" 'BEGIN { printf "%.1f", k / 1024 }')"
    printf '%-28s %10s %10s %9s %8s\n' "ddsperf sub" "$sn" "$sps" "$scpu" \
        "$(awk -v k="${speak:-0}" 'BEGIN { printf "%.1f", k / 1024 }')"
    printf '%-28s %10s %10s %9s %8s\n' "lumoBareReader --raw-type" "$bn" "-" "$bcpu" \
        "$(awk -v k="${bpeak:-0}" 'BEGIN { printf "%.1f", k / 1024 }')"
    printf '%-28s %10s %10s %9s %8s %s\n' "monitor / ddsperf sub" "" "$(ratio "$mps" "$sps")" "$(ratio "$mcpu" "$scpu")" \
        "" "$st"
    printf '%-28s %10s %10s %9s\n' "monitor / bare reader" "" "" "$(ratio "$mcpu" "$bcpu")"
    echo "ddsperf -T KS pub (reliable, as fast as it can) into both at once, $((ANYTYPE_SECS > 4 ? ANYTYPE_SECS : 4)) s; the monitor reads"
    echo "DDSPerfRDataKS --seq-field 4:4 (ddsperf's sequence number) with --report-period 1. samples/s: steady"
    echo "rate (per-second figures, the first and last left out); cpu: over every sample taken. The bare"
    echo "reader (Fast DDS, as the monitor) reads the same stream: CPU per sample only, as each Fast DDS"
    echo "reader matches the new Cyclone DDS writer at its own moment."
}
