#!/usr/bin/env bash
# Runs every benchmark once and prints the tables (not part of the tests):
#   1. payload checks: CheckRamp and CheckExpectedPayloadPattern beside a
#      plain read of the same buffer (Google Benchmark, GB/s);
#   2. throughput: lumoQuillpub as fast as possible (and at fixed rates) into
#      lumoBareReader (the ceiling: same facade, QoS and transports, only
#      counts) and into lumoQuillmon with continuity checks and no payload
#      check, --check-ramp, or the alternating_float_ramp pattern; 1 and 15
#      topics; received samples/s, gaps, reader CPU per million samples,
#      peak RSS, and the monitor/bare ratios;
#   3. a writer of another implementation: lumoCyclonePub (Cyclone DDS) as
#      fast as it can, reliable and best effort, into lumoQuillmon and
#      lumoBareReader at once (64 B and 1 KiB); samples/s, CPU, the reliable
#      over best-effort ratio;
#   4. memory at rest: lumoQuillmon and lumoBareReader with 1 and 15 topics
#      and no writer, VmRSS;
#   5. the monitor writing its JSON Lines report beside the bare reader and
#      the plain monitor (bench/throughput/report.sh);
#   6. a secured path (--security on both) beside an open one, 64 B and
#      64 KiB, then at a fixed rate per lever (governance protection kinds,
#      writer settings) with ddsperf's open and secured paths beside it
#      (bench/throughput/secured.sh; the ddsperf part in a network namespace
#      of its own, root);
#   7. the monitor serving --metrics, scraped every second, beside the plain
#      monitor (bench/throughput/metrics.sh);
#   8. reference: Cyclone DDS's ddsperf pub/sub at the same payload sizes;
#   9. reading any type: lumoCyclonePub into the monitor and the bare reader
#      as AgnosticTopic and as raw bytes (--any-type), and ddsperf's writer
#      into the monitor beside ddsperf's own subscriber, 64 B and 64 KiB, in
#      a network namespace of its own (bench/throughput/anytype.sh; root);
#  10. the intake ceiling: several lumoQuillpub and a batching Cyclone DDS
#      writer into the monitor and the bare reader, ddsperf's stream into the
#      monitor beside ddsperf sub at a fixed rate and flat out, 64 B, and the
#      receive-side levers of --levers (bench/throughput/intake.sh; root);
#  11. what each feature costs: the plain monitor and the monitor with one
#      feature on (--report, --metrics, --security, the payload checks,
#      --any-type), 64 B and 64 KiB (bench/throughput/costs.sh);
#  12. memory under a slow reader: peak RSS of the monitor slowed (-s) and
#      checking the ramp (-c) at 64 KiB, with the readers' history limits of
#      the QoS file beside the former 5000 samples, and the open 64 B and
#      64 KiB path to show their cost (bench/throughput/memory.sh);
#  13. the live view: the monitor with --live on a pseudo-terminal, the
#      plain monitor on the same kind of terminal and writing to a file, all
#      three on one stream at once, 64 B on 15 topics, as fast as possible
#      and at 1000/s per topic, repeated (bench/throughput/live.sh).
# Everything runs on loopback only (see bench/throughput/common.sh and
# tests/data/cyclonedds-loopback.xml).
#
# usage: bench/run.sh [--quick] [--no-build] [--duration S] [--rates "0 1000"]
#                     [--sizes "64 1024 65536 1048576"] [--topics "1 15"]
#                     [--qos-profile NAME] [--qos-file FILE]
#                     [--skip micro,throughput,foreign,rest,report,secured,levers,metrics,ddsperf,anytype,
#                             intake,costs,memory,live]
#                     [--fastdds 2|3] [--build-dir DIR] [--levers "all" | "rcvbuf-1m hbdelay-1ms ..."]
#   --quick     about 2 minutes: 2-second runs, 64 B and 64 KiB, maximum rate
#   --no-build  use the build directory as it is
#   --fastdds   the Fast DDS to build against: 2 (Debian's 2.9, build-bench/,
#               the default) or 3 (built once by scripts/build-fastdds3.sh into
#               $LUMO_FASTDDS3_PREFIX, default /opt/lumo-fastdds3;
#               build-bench-fastdds3/)
#   --build-dir another build directory (configured here unless --no-build)
#   --levers    the intake section's QoS levers (bench/throughput/intakeLevers.sh)
# The soak run is separate: bench/soak.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD

quick=0
build=1
duration=""
rates=""
sizes=""
topic_counts=""
skip=""
fastdds=2
build_dir=""
while [ $# -gt 0 ]; do
    case $1 in
    --quick) quick=1 ;;
    --no-build) build=0 ;;
    --duration) duration=$2; shift ;;
    --rates) rates=$2; shift ;;
    --sizes) sizes=$2; shift ;;
    --topics) topic_counts=$2; shift ;;
    --qos-profile) export QOS_PROFILE=$2; shift ;;
    --qos-file) export QOS_FILE=$(realpath "$2"); shift ;;
    --skip) skip=$2; shift ;;
    --fastdds) fastdds=$2; shift ;;
    --build-dir) build_dir=$(realpath -m "$2"); shift ;;
    --levers) export INTAKE_LEVERS=$2; shift ;;
    -h | --help) sed -n '2,63p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "bench/run.sh: unknown argument $1" >&2; exit 2 ;;
    esac
    shift
done
if [ $quick -eq 1 ]; then
    duration=${duration:-2}
    rates=${rates:-0}
    sizes=${sizes:-"64 65536"}
    micro_time=0.05
else
    duration=${duration:-5}
    rates=${rates:-"0 1000"}
    sizes=${sizes:-"64 1024 65536 1048576"}
    micro_time=0.3
fi
topic_counts=${topic_counts:-"1 15"}

fastdds_args=(-DLUMO_FASTDDS_MAJOR=2)
case $fastdds in
2) export BUILD_DIR=${build_dir:-$ROOT/build-bench} ;;
3)
    export BUILD_DIR=${build_dir:-$ROOT/build-bench-fastdds3}
    FASTDDS3_PREFIX=${LUMO_FASTDDS3_PREFIX:-/opt/lumo-fastdds3}
    fastdds_args=(-DLUMO_FASTDDS_MAJOR=3 "-DCMAKE_PREFIX_PATH=$FASTDDS3_PREFIX")
    ;;
*) echo "bench/run.sh: --fastdds takes 2 or 3, not $fastdds" >&2; exit 2 ;;
esac
if [ $build -eq 1 ]; then
    scripts/setup.sh
    if [ "$fastdds" = 3 ]; then
        scripts/build-fastdds3.sh --prefix "$FASTDDS3_PREFIX" -j 2
    fi
    echo "=== building ($BUILD_DIR, RelWithDebInfo, benchmarks on, Fast DDS $fastdds)"
    # Tests on for lumoCyclonePub, the foreign writer; only the targets below
    # are built.
    cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLUMO_BUILD_BENCH=ON -DLUMO_BUILD_TESTS=ON \
        "${fastdds_args[@]}" > "$BUILD_DIR.configure.log" 2>&1 || { cat "$BUILD_DIR.configure.log"; exit 1; }
    # Two jobs at most: the machine is shared.
    cmake --build "$BUILD_DIR" -j 2 --target lumoQuillmon lumoQuillpub lumoBareReader lumoExitReport \
        payloadChecksBench lumoCyclonePub > "$BUILD_DIR.build.log" 2>&1 || { tail -30 "$BUILD_DIR.build.log"; exit 1; }
fi

export WORK_DIR
WORK_DIR=$(mktemp -d /tmp/lumo-bench.XXXXXX)
# shellcheck source=throughput/common.sh
source bench/throughput/common.sh
trap cleanup_started EXIT INT TERM

started=$(date +%s)
echo "=== $(date -u '+%Y-%m-%d %H:%M:%S UTC'); load: $(uptime | sed 's/.*load average: //'); $(nproc) CPUs"
echo "    QoS profile $QOS_PROFILE ($QOS_FILE); domains $BENCH_DOMAIN_FIRST+; logs in $WORK_DIR"
echo "    $(grep -h -o 'Fast DDS [0-9.]* ([a-z]*), Fast CDR [0-9.]*' "$BUILD_DIR.configure.log" 2>/dev/null || echo "Fast DDS: see $BUILD_DIR")"

skipped() { [[ ",$skip," == *",$1,"* ]]; }

# ---------------------------------------------------------------- payload checks
if ! skipped micro; then
    echo
    echo "=== payload checks (Google Benchmark; INFO disabled)"
    "$BIN/payloadChecksBench" --benchmark_min_time="$micro_time" > "$WORK_DIR/micro.out" 2>&1
    sed -n '/^payload checks, GB/,$p' "$WORK_DIR/micro.out"
fi

# ---------------------------------------------------------------- throughput
size_text() {
    awk -v n="$1" 'BEGIN { if (n >= 1048576) printf "%gMiB", n / 1048576; else if (n >= 1024) printf "%gKiB", n / 1024; else printf "%dB", n }'
}

# One case: prints "received lost rate_per_s MB_per_s cpu_per_million peak_MiB status"
# and leaves the publisher's CPU seconds in $WORK_DIR/TAG.pub.cpu; TAG is
# RUN_CASE_TAG if set.
run_case() {
    local reader=$1 payload=$2 size=$3 rate=$4 topics=$5
    local tag="${RUN_CASE_TAG:-$reader-$payload-$size-$rate-$topics}"
    local names
    names=$(topic_names "$topics" "Bench${size}x")
    # shellcheck disable=SC2086
    start_reader "$reader" "$WORK_DIR/$tag.reader.log" $names || { echo "- - - - - - no-start"; return; }
    local cpu0
    cpu0=$(cpu_seconds "$READER_PID")
    # shellcheck disable=SC2086
    if ! start_publisher "$WORK_DIR/$tag.pub.log" "$rate" "$size" "$payload" $names; then
        stop_reader
        echo "- - - - - - no-publisher"
        return
    fi
    # Measure from the first write for the set duration, then freeze the
    # publisher and give what is already on its way a moment to arrive.
    local end pub_cpu0
    pub_cpu0=$(cpu_seconds "$PUB_PID")
    end=$(awk -v s="$PUB_START" -v d="$duration" 'BEGIN { printf "%.3f", s + d }')
    sleep "$(awk -v e="$end" -v n="$(now)" 'BEGIN { d = e - n; printf "%.3f", (d > 0 ? d : 0) }')"
    local stop
    stop=$(now)
    kill -STOP "$PUB_PID"
    awk -v a="$pub_cpu0" -v b="$(cpu_seconds "$PUB_PID")" 'BEGIN { printf "%.2f\n", b - a }' > "$WORK_DIR/$tag.pub.cpu"
    sleep 0.3
    local cpu1 peak
    cpu1=$(cpu_seconds "$READER_PID")
    peak=$(peak_rss_kib "$READER_PID")
    shmem_kib "$READER_PID" > "$WORK_DIR/$tag.shmem"
    stop_reader
    local killed=$PUB_KILLED
    stop_publisher
    local note=""
    [ "$PUB_KILLED" -gt "$killed" ] && note=",pub-killed"
    case_figures "$reader" "$WORK_DIR/$tag.reader.log" "$stop" "$size" "$cpu0" "$cpu1" "$peak" "$note"
}

# case_figures READER LOG STOP SIZE CPU0 CPU1 PEAK_KIB NOTE: run_case's line
# for a reader stopped after the publisher's window from PUB_START to STOP.
case_figures() {
    local reader=$1 log=$2 counts status=ok
    if ! counts=$(reader_counts "$reader" "$log"); then
        echo "- - - - - - no-report"
        return
    fi
    # A failed payload check stops the monitor: its figures would not count.
    if grep -q -E "CheckRamp error|Payload pattern mismatch|Unsupported expected payload|is incompatible with" "$log"; then
        status=CHECK-FAILED
    elif [ "$reader" = mon-live ] && ! live_view_drawn "$log"; then
        # Figures of a monitor that did not show its view are not the view's.
        status=no-view
    elif grep -q " ERROR " "$log"; then
        # Best-effort readers report samples lost by Fast DDS at ERROR.
        status="errors:$(grep -c " ERROR " "$log")"
    fi
    awk -v c="$counts" -v s="$PUB_START" -v t="$3" -v bytes="$4" -v cpu0="$5" -v cpu1="$6" \
        -v peak="$7" -v st="$status$8" 'BEGIN {
            split(c, f, " "); n = f[1]; lost = f[2]; secs = t - s
            rate = n / secs
            printf "%d %s %.0f %.1f %s %.1f %s\n", n, lost, rate, rate * bytes / 1e6,
                   (n > 0 ? sprintf("%.2f", (cpu1 - cpu0) / n * 1e6) : "-"), peak / 1024, st }'
}

declare -A RESULT
case_index=0
# reader:payload of every case, in table order; each monitor case has a bare
# one fed the same payload kind.
READER_RUNS="bare:ramp mon:ramp mon-ramp:ramp bare:alternating_float_ramp mon-pattern:alternating_float_ramp"
if ! skipped throughput; then
    echo
    echo "=== throughput: lumoQuillpub -> reader, ${duration} s per case (rate 0: as fast as possible)"
    # Each monitor run is compared with a bare run fed the same payload kind:
    # the publisher's cost per sample depends on it (the alternating pattern
    # is rebuilt for every sample), and it shares the machine with the reader.
    for rate in $rates; do
        for topics in $topic_counts; do
            for size in $sizes; do
                for run in $READER_RUNS; do
                    reader=${run%%:*}
                    payload=${run#*:}
                    if [ "$reader" = mon-ramp ] && [ "$size" -gt 1024000 ]; then
                        # No single-precision ramp of step 0.001 over more than
                        # 256000 elements stays within the check's 1e-5.
                        RESULT["$rate/$topics/$size/$reader/$payload"]="- - - - - - n/a"
                        continue
                    fi
                    use_case_domain "$case_index"
                    case_index=$((case_index + 1))
                    RESULT["$rate/$topics/$size/$reader/$payload"]=$(run_case "$reader" "$payload" "$size" "$rate" "$topics")
                done
            done
        done
    done

    echo
    printf '%-22s %-12s %12s %9s %10s %8s %10s %9s %7s %7s %s\n' "case" "reader" "received" "lost" "samples/s" "MB/s" \
        "cpu s/Ms" "peak MiB" "rate/b" "cpu/b" "status"
    for rate in $rates; do
        for topics in $topic_counts; do
            for size in $sizes; do
                label="$(size_text "$size") x$topics r=$([ "$rate" = 0 ] && echo max || echo "$rate/s")"
                for run in $READER_RUNS; do
                    reader=${run%%:*}
                    payload=${run#*:}
                    read -r n lost per_s mbs cpu peak status <<< "${RESULT["$rate/$topics/$size/$reader/$payload"]}"
                    read -r bn _ bper_s _ bcpu _ _ <<< "${RESULT["$rate/$topics/$size/bare/$payload"]}"
                    ratio=""
                    cratio=""
                    if [ "$reader" != bare ]; then
                        ratio=$(awk -v a="$per_s" -v b="$bper_s" 'BEGIN { if (a + 0 > 0 && b + 0 > 0) printf "%.2f", a / b; else print "-" }')
                        cratio=$(awk -v a="$cpu" -v b="$bcpu" 'BEGIN { if (a + 0 > 0 && b + 0 > 0) printf "%.2f", a / b; else print "-" }')
                    fi
                    case $reader in
                    bare) name="bare" ;;
                    mon) name="mon" ;;
                    mon-ramp) name="mon -c" ;;
                    mon-pattern) name="mon pattern" ;;
                    esac
                    [ "$payload" = alternating_float_ramp ] && [ "$reader" = bare ] && name="bare (pat)"
                    printf '%-22s %-12s %12s %9s %10s %8s %10s %9s %7s %7s %s\n' "$label" "$name" "$n" "$lost" "$per_s" "$mbs" \
                        "$cpu" "$peak" "$ratio" "$cratio" "$status"
                done
            done
        done
    done
    echo "received: samples taken by the reader while the publisher ran; lost: the monitor's '#lost samples'"
    echo "(sample-id gaps); cpu s/Ms: reader CPU (user+sys) per million samples; peak: reader VmHWM;"
    echo "rate/b, cpu/b: monitor / bare reader fed the same payload kind (bare (pat): alternating_float_ramp)."
    echo "status pub-killed: the publisher did not exit within 5 s of SIGINT after the measurement (a Fast DDS"
    echo "2.9.1 writer deadlock seen with fragmented reliable samples) and was killed; the figures stand."
fi

# ---------------------------------------------------------------- foreign writer
# shellcheck source=throughput/foreign.sh
source bench/throughput/foreign.sh
if ! skipped foreign; then
    echo
    echo "=== a writer of another implementation: Cyclone DDS -> lumoQuillmon and lumoBareReader at once, ${duration} s"
    run_foreign_cases "$duration" "64 1024"
fi

# ---------------------------------------------------------------- at rest
if ! skipped rest; then
    echo
    echo "=== memory at rest"
    run_rest_cases "1 15"
fi

# ---------------------------------------------------------------- report
if ! skipped report; then
    echo
    echo "=== the monitor writing its report (--report), ${duration} s per case"
    # shellcheck source=throughput/report.sh
    source bench/throughput/report.sh
    report_table
fi

# ---------------------------------------------------------------- secured
if ! skipped secured; then
    echo
    echo "=== a secured path beside an open one (DDS Security), ${duration} s per case"
    # shellcheck source=throughput/secured.sh
    source bench/throughput/secured.sh
    secured_table
    if ! skipped levers; then
        echo
        echo "=== the secured path's levers at a fixed rate, ${duration} s per case; Cyclone DDS's ddsperf beside it"
        secured_levers_table
    fi
fi

# ---------------------------------------------------------------- metrics
if ! skipped metrics; then
    echo
    echo "=== the monitor serving --metrics, scraped every second, ${duration} s per case"
    # shellcheck source=throughput/metrics.sh
    source bench/throughput/metrics.sh
    metrics_table
fi

# ---------------------------------------------------------------- ddsperf
if ! skipped ddsperf; then
    echo
    echo "=== reference: Cyclone DDS ddsperf pub/sub, reliable, one topic, ${duration} s, loopback only"
    if ! command -v ddsperf > /dev/null; then
        echo "ddsperf not found (Debian package cyclonedds-tools; scripts/setup.sh installs it)"
    else
        export CYCLONEDDS_URI="file://$ROOT/tests/data/cyclonedds-loopback.xml"
        BENCH_DOMAIN=$BENCH_DOMAIN_FIRST
        printf '%-10s %12s %10s %10s %10s %s\n' "size" "samples/s" "MB/s" "mon s/s" "mon/ddsp" "(mon: lumoQuillmon, no payload check, same size, 1 topic, max rate)"
        for size in $sizes; do
            log="$WORK_DIR/ddsperf-$size"
            ddsperf -i "$BENCH_DOMAIN" -D $((duration + 3)) -Qminmatch:1 -Qinitwait:20 sub > "$log.sub" 2>&1 &
            sub=$!
            STARTED_PIDS+=("$sub")
            ddsperf -i "$BENCH_DOMAIN" -D $((duration + 2)) -Qminmatch:1 -Qinitwait:20 pub size "$size" > "$log.pub" 2>&1 &
            pub=$!
            STARTED_PIDS+=("$pub")
            wait "$pub" 2>/dev/null || true
            wait "$sub" 2>/dev/null || true
            forget_pid "$pub"
            forget_pid "$sub"
            # Per-second lines of the subscriber; the first second (start-up)
            # is left out.
            read -r per_s mbs <<< "$(awk '/ size [0-9]+ total / && / rate / {
                    for (i = 1; i <= NF; i++) { if ($i == "rate") { r = $(i + 1); u = $(i + 2); m = $(i + 3) } }
                    k = (u == "kS/s") ? 1e3 : (u == "MS/s" ? 1e6 : 1)
                    lines++; if (lines > 1) { s += r * k; mb += m / 8; c++ } }
                END { if (c) printf "%.0f %.1f\n", s / c, mb / c; else print "- -" }' "$log.sub")"
            mon=${RESULT["0/1/$size/mon/ramp"]:-}
            mon_per_s=$(echo "$mon" | awk '{ print $3 }')
            ratio=$(awk -v a="$mon_per_s" -v b="$per_s" 'BEGIN { if (a + 0 > 0 && b + 0 > 0) printf "%.2f", a / b; else print "-" }')
            printf '%-10s %12s %10s %10s %10s\n' "$(size_text "$size")" "$per_s" "$mbs" "${mon_per_s:--}" "$ratio"
        done
        echo "ddsperf's size includes its topic's fixed part; MB/s from its Mb/s. At equal size the ratio of"
        echo "samples/s is also the ratio of bytes/s."
    fi
fi

# ---------------------------------------------------------------- any type
if ! skipped anytype; then
    echo
    echo "=== reading any type (--any-type): raw bytes beside AgnosticTopic, 64 B and 64 KiB, ${duration} s per case, own network namespace"
    # shellcheck source=throughput/anytype.sh
    source bench/throughput/anytype.sh
    anytype_table "$duration" "64 65536"
fi

# ---------------------------------------------------------------- intake
if ! skipped intake; then
    echo
    echo "=== the intake ceiling: 64 B, reliable KEEP_ALL, writers faster than the reader"
    INTAKE_SECS=${INTAKE_SECS:-$duration}
    # shellcheck source=throughput/anytype.sh
    source bench/throughput/anytype.sh
    # shellcheck source=throughput/intake.sh
    source bench/throughput/intake.sh
    ANYTYPE_SECS=$duration
    intake_table
fi

# ---------------------------------------------------------------- costs
if ! skipped costs; then
    echo
    echo "=== what each feature costs against the plain monitor, ${duration} s per case"
    # shellcheck source=throughput/secured.sh
    source bench/throughput/secured.sh
    # shellcheck source=throughput/costs.sh
    source bench/throughput/costs.sh
    costs_table
fi

# ---------------------------------------------------------------- memory
if ! skipped memory; then
    echo
    echo "=== memory under a slow reader: peak RSS, bounded history beside 5000 samples, ${duration} s per case"
    # shellcheck source=throughput/memory.sh
    source bench/throughput/memory.sh
    memory_table
fi

# ---------------------------------------------------------------- live
if ! skipped live; then
    echo
    echo "=== the live view (--live) beside the plain monitor, on a pseudo-terminal, ${duration} s per case"
    # shellcheck source=throughput/live.sh
    source bench/throughput/live.sh
    live_table
fi

echo
echo "=== done in $(($(date +%s) - started)) s; load now: $(uptime | sed 's/.*load average: //')"
