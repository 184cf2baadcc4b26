# Shared by bench/run.sh and bench/soak.sh: starting and stopping the reader
# (lumoBareReader or lumoQuillmon) and lumoQuillpub, and reading what the
# kernel knows of a process. Sourced, not run.
#
# Every participant is confined to loopback: -a 127.0.0.1 restricts UDP to
# the loopback interface (shared memory stays available, as it would for a
# monitor beside its publishers), on a domain of the bench's own
# (BENCH_DOMAIN; the tests use 20 to 219).
#
# A Fast DDS process that is killed can leave a shared-memory port of its
# domain locked, and every later participant on that domain that gets the
# same port then receives nothing over shared memory. So each case runs on
# its own domain (use_case_domain: 12 in turn from 220), whose stale port
# files are removed first; no other process uses these domains.
#
# How the monitor's counts are read: lumoQuillmon prints "#samples" and
# "#lost samples" per reader at exit, but only at INFO. Running it at INFO
# would build and write a log line per checked sample (the ramp's length
# line, the pattern's verified line): the figures would be those of a debug
# run. So it runs at its normal level, with liblumoExitReport.so preloaded,
# which raises the "lumo" logger to INFO only when SIGINT arrives (see
# bench/exitReport/exitReport.cpp). The publisher is frozen (SIGSTOP) before
# that, so no sample arrives while INFO is on, and it is still alive (its
# writers matched) when the report is printed: a writer that leaves resets
# the monitor's counts (match and unmatch restart "#samples" at -1).

: "${BUILD_DIR:?}"
BIN="$BUILD_DIR/bin"
EXIT_REPORT_LIB="$BUILD_DIR/lib/liblumoExitReport.so"
BENCH_DOMAIN_FIRST=${BENCH_DOMAIN_FIRST:-220}
BENCH_DOMAIN_COUNT=12
BENCH_DOMAIN=${BENCH_DOMAIN:-$BENCH_DOMAIN_FIRST}
QOS_FILE=${QOS_FILE:-$BIN/telemDataPathDdsQos.xml}
QOS_PROFILE=${QOS_PROFILE:-Lumo_Default_Profile}
WORK_DIR=${WORK_DIR:-$(mktemp -d /tmp/lumo-bench.XXXXXX)}
CLK_TCK=$(getconf CLK_TCK)

declare -a STARTED_PIDS=()
# Added to every lumoQuillmon start_reader starts (bench/soak.sh --debug).
declare -a MONITOR_EXTRA_ARGS=()

# Leaves nothing behind: every process this script started is ended by pid.
cleanup_started() {
    local pid
    for pid in "${STARTED_PIDS[@]:-}"; do
        [ -n "$pid" ] || continue
        kill -CONT "$pid" 2>/dev/null || true
        kill -TERM "$pid" 2>/dev/null || true
    done
    for pid in "${STARTED_PIDS[@]:-}"; do
        [ -n "$pid" ] && wait "$pid" 2>/dev/null || true
    done
    STARTED_PIDS=()
}

forget_pid() {
    local keep=() pid
    for pid in "${STARTED_PIDS[@]:-}"; do
        [ "$pid" != "$1" ] && [ -n "$pid" ] && keep+=("$pid")
    done
    STARTED_PIDS=("${keep[@]:-}")
}

now() { date +%s.%N; }

# Removes the shared-memory port files of a domain (its 250 ports from
# 7400 + 250 * domain); only for the bench's own domains, between cases.
# Fast DDS 2.x names them fastrtps_port*, 3.x fastdds_port*.
clear_domain_shm() {
    local first=$((7400 + 250 * $1)) file port
    for file in /dev/shm/fastrtps_port* /dev/shm/sem.fastrtps_port* /dev/shm/fastdds_port* /dev/shm/sem.fastdds_port*; do
        [ -e "$file" ] || continue
        port=${file##*_port}
        port=${port%%_*}
        [[ $port =~ ^[0-9]+$ ]] || continue
        if [ "$port" -ge "$first" ] && [ "$port" -lt $((first + 250)) ]; then
            rm -f "$file"
        fi
    done
}

# use_case_domain N: domain of the N-th case, cleared of stale ports.
use_case_domain() {
    BENCH_DOMAIN=$((BENCH_DOMAIN_FIRST + $1 % BENCH_DOMAIN_COUNT))
    clear_domain_shm "$BENCH_DOMAIN"
}

# CPU seconds (user + system) a live process has used so far.
cpu_seconds() {
    awk -v tck="$CLK_TCK" '{ sub(/^.*\) /, ""); printf "%.2f\n", ($12 + $13) / tck }' "/proc/$1/stat"
}

# Peak resident set (VmHWM) and current resident set (VmRSS), in KiB.
peak_rss_kib() { awk '/^VmHWM:/ { print $2 }' "/proc/$1/status"; }
rss_kib() { awk '/^VmRSS:/ { print $2 }' "/proc/$1/status"; }
# Resident shared memory (RssShmem, KiB): for a reader, the pages of its
# writers' shared-memory segments it has read.
shmem_kib() { awk '/^RssShmem:/ { print $2 }' "/proc/$1/status"; }

# wait_for_line FILE PATTERN SECONDS PID: until FILE holds a line matching
# PATTERN; fails if PID ends or time runs out.
wait_for_line() {
    local file=$1 pattern=$2 limit=$3 pid=$4 waited=0
    until grep -q -- "$pattern" "$file" 2>/dev/null; do
        if ! kill -0 "$pid" 2>/dev/null; then
            echo "bench: process $pid ended before '$pattern' (log $file):" >&2
            tail -5 "$file" >&2
            return 1
        fi
        sleep 0.05
        waited=$((waited + 1))
        if [ "$waited" -ge $((limit * 20)) ]; then
            echo "bench: no '$pattern' in $file after ${limit}s" >&2
            return 1
        fi
    done
}

topic_names() {
    local count=$1 prefix=$2 i names=()
    for ((i = 0; i < count; i++)); do names+=("${prefix}$i"); done
    echo "${names[@]}"
}

# A monitor on a pseudo-terminal (bench/throughput/live.sh): `script` opens
# it, sized PTY_COLS x PTY_ROWS, and copies everything written to it into the
# log, as a terminal would show it (CR LF line ends, the view's escape
# sequences). The shell `script` starts writes its pid and execs the monitor,
# so READER_PID is the monitor itself (its CPU, its SIGINT) and PTY_PID the
# `script` that outlives it until the terminal's last output is in the log.
PTY_COLS=${PTY_COLS:-200}
PTY_ROWS=${PTY_ROWS:-50}
PTY_PID=""

# live_view_drawn LOG: the view took the terminal (curses' switch to the
# alternate screen) and gave it back (the switch out, before the exit lines).
live_view_drawn() {
    grep -qF $'\e[?1049h' "$1" && grep -qF $'\e[?1049l' "$1"
}

# start_in_pty LOG COMMAND...: starts COMMAND on a terminal of its own; sets
# READER_PID (once its pid is known) and PTY_PID.
start_in_pty() {
    local log=$1 pid_file
    shift
    pid_file="${log%.log}.pid"
    rm -f "$pid_file"
    local command
    command="stty rows $PTY_ROWS cols $PTY_COLS && echo \$\$ > $(printf '%q' "$pid_file") && exec"
    command+=$(printf ' %q' env TERM=xterm-256color "$@")
    # stdin from /dev/null: nothing is typed; SIGINT to the monitor ends it.
    script -qfec "$command" /dev/null < /dev/null > "$log" 2>&1 &
    PTY_PID=$!
    STARTED_PIDS+=("$PTY_PID")
    local waited=0
    until [ -s "$pid_file" ]; do
        if ! kill -0 "$PTY_PID" 2>/dev/null || [ $waited -ge 200 ]; then
            echo "bench: no terminal for the reader (log $log):" >&2
            tail -5 "$log" >&2
            return 1
        fi
        sleep 0.05
        waited=$((waited + 1))
    done
    READER_PID=$(cat "$pid_file")
    STARTED_PIDS+=("$READER_PID")
}

# abandon_reader: ends a reader that did not start as it should, and its
# terminal: a case run in a subshell cannot leave it to cleanup_started.
abandon_reader() {
    local pid
    for pid in "$READER_PID" "$PTY_PID"; do
        [ -n "$pid" ] || continue
        kill -TERM "$pid" 2>/dev/null || true
        wait_gone "$pid" 100 || kill -KILL "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
        forget_pid "$pid"
    done
    PTY_PID=""
}

# start_reader KIND LOG TOPICS...: KIND is bare, mon, mon-ramp,
# mon-pattern, mon-report, mon-baseline, mon-metrics, mon-report-metrics,
# mon-secured, mon-anytype, or on a pseudo-terminal mon-pty (the plain
# monitor) or mon-live (with --live).
# Sets READER_PID once the reader is up (and SCRAPER_PID for the metrics).
start_reader() {
    local kind=$1 log=$2
    shift 2
    local common=(-t "$@" -a 127.0.0.1 --domain-id "$BENCH_DOMAIN" --qos-file "$QOS_FILE" --qos-profile "$QOS_PROFILE")
    [ "$kind" = bare ] || common+=("${MONITOR_EXTRA_ARGS[@]}")
    PTY_PID=""
    READER_PID=""
    case $kind in
    bare) "$BIN/lumoBareReader" "${common[@]}" > "$log" 2>&1 & ;;
    mon) LD_PRELOAD="$EXIT_REPORT_LIB" "$BIN/lumoQuillmon" "${common[@]}" -i 1 > "$log" 2>&1 & ;;
    mon-ramp) LD_PRELOAD="$EXIT_REPORT_LIB" "$BIN/lumoQuillmon" "${common[@]}" -i 1 -c > "$log" 2>&1 & ;;
    # bench/throughput/report.sh: the report written beside the log; another
    # build's monitor without it.
    mon-report)
        LD_PRELOAD="$EXIT_REPORT_LIB" "$BIN/lumoQuillmon" "${common[@]}" -i 1 --report "${log%.log}.jsonl" \
            --fail-on missing > "$log" 2>&1 &
        ;;
    mon-baseline) LD_PRELOAD="$EXIT_REPORT_LIB" "$QUILLMON_BASELINE" "${common[@]}" -i 1 > "$log" 2>&1 & ;;
    # bench/throughput/secured.sh: the monitor's enclave of BENCH_ENCLAVES,
    # or SECURED_MONITOR_ENCLAVE (a lever's governance).
    mon-secured)
        LD_PRELOAD="$EXIT_REPORT_LIB" "$BIN/lumoQuillmon" "${common[@]}" -i 1 \
            --security "${SECURED_MONITOR_ENCLAVE:-$BENCH_ENCLAVES/monitor}" > "$log" 2>&1 &
        ;;
    # bench/throughput/metrics.sh: --metrics, scraped every second, alone or
    # beside the report.
    mon-metrics | mon-report-metrics)
        local extra=(--metrics "127.0.0.1:$METRICS_PORT")
        [ "$kind" = mon-report-metrics ] && extra+=(--report "${log%.log}.jsonl" --fail-on missing)
        LD_PRELOAD="$EXIT_REPORT_LIB" "$BIN/lumoQuillmon" "${common[@]}" -i 1 "${extra[@]}" > "$log" 2>&1 &
        ;;
    mon-pattern)
        LD_PRELOAD="$EXIT_REPORT_LIB" "$BIN/lumoQuillmon" "${common[@]}" -i 1 \
            --expected-payload-pattern alternating_float_ramp > "$log" 2>&1 &
        ;;
    # bench/throughput/costs.sh: the topics adopted as discovery names them.
    mon-anytype) LD_PRELOAD="$EXIT_REPORT_LIB" "$BIN/lumoQuillmon" "${common[@]}" -i 1 --any-type > "$log" 2>&1 & ;;
    mon-pty | mon-live)
        # --live holds the log lines while its view is up; "Ctrl-C to exit"
        # is written before the view takes the terminal, as without it.
        local extra=()
        [ "$kind" = mon-live ] && extra=(--live)
        if ! start_in_pty "$log" env LD_PRELOAD="$EXIT_REPORT_LIB" "$BIN/lumoQuillmon" "${common[@]}" -i 1 \
            "${extra[@]}"; then
            abandon_reader
            return 1
        fi
        ;;
    *) echo "bench: unknown reader $kind" >&2; return 1 ;;
    esac
    if [ -z "$PTY_PID" ]; then
        READER_PID=$!
        STARTED_PIDS+=("$READER_PID")
    fi
    wait_for_line "$log" "Ctrl-C to exit" 30 "$READER_PID" || { abandon_reader; return 1; }
    # On a terminal, the pid is read from a file: the CPU and the SIGINT
    # must be the monitor's, not those of `script` or its shell.
    if [ -n "$PTY_PID" ] && [ "$(cat "/proc/$READER_PID/comm" 2>/dev/null)" != lumoQuillmon ]; then
        echo "bench: pid $READER_PID on the terminal is not lumoQuillmon (log $log)" >&2
        abandon_reader
        return 1
    fi
    if [[ $kind == *metrics ]]; then
        # As Prometheus asks: gzip.
        (while :; do
            curl -s --compressed -o /dev/null "http://127.0.0.1:$METRICS_PORT/metrics"
            sleep 1
        done) &
        SCRAPER_PID=$!
        STARTED_PIDS+=("$SCRAPER_PID")
    fi
}

# start_publisher LOG RATE SIZE PAYLOAD TOPICS...: publishes until stopped,
# with the options of PUB_EXTRA (an array) added, once each writer has
# PUB_WAIT_READERS readers. Sets PUB_PID and PUB_START (epoch seconds of its
# first write, from its log).
PUB_EXTRA=()
PUB_WAIT_READERS=1
start_publisher() {
    local log=$1 rate=$2 size=$3 payload=$4
    shift 4
    local extra=()
    if [ "$payload" = ramp ]; then
        # Centred on 0, so that the single-precision elements of the longest
        # payloads stay within the ramp check's tolerance.
        extra=(--ramp-start "$(awk -v n="$size" 'BEGIN { printf "%.3f", -0.001 * int(n / 8) }')")
    fi
    "$BIN/lumoQuillpub" -t "$@" -a 127.0.0.1 --domain-id "$BENCH_DOMAIN" --qos-file "$QOS_FILE" \
        --qos-profile "$QOS_PROFILE" -r "$rate" --payload "$payload" --payload-size "$size" \
        --wait-readers "$PUB_WAIT_READERS" --wait-timeout 30 --ack-timeout 1 "${extra[@]}" "${PUB_EXTRA[@]}" > "$log" 2>&1 &
    PUB_PID=$!
    STARTED_PIDS+=("$PUB_PID")
    wait_for_line "$log" "Publishing on" 40 "$PUB_PID"
    local stamp
    stamp=$(grep -m1 "Publishing on" "$log" | awk '{ print $1 " " $2 }')
    PUB_START=$(date -d "$stamp" +%s.%N)
}

# stop_reader: SIGINT, then waits (at most 20 s) for it to exit.
# wait_gone PID TICKS: waits up to TICKS x 50 ms for PID to exit; fails if
# it still runs.
wait_gone() {
    local waited=0
    while kill -0 "$1" 2>/dev/null && [ $waited -lt "$2" ]; do
        sleep 0.05
        waited=$((waited + 1))
    done
    ! kill -0 "$1" 2>/dev/null
}

SCRAPER_PID=""
METRICS_PORT=${METRICS_PORT:-19464}
stop_reader() {
    if [ -n "$SCRAPER_PID" ]; then
        kill -TERM "$SCRAPER_PID" 2>/dev/null || true
        wait "$SCRAPER_PID" 2>/dev/null || true
        forget_pid "$SCRAPER_PID"
        SCRAPER_PID=""
    fi
    kill -INT "$READER_PID" 2>/dev/null || true
    reap_reader
}

# reap_reader: waits for READER_PID, sent SIGINT, to exit (killed after
# 20 s), and for its terminal's last output.
reap_reader() {
    if ! wait_gone "$READER_PID" 400; then
        echo "bench: reader $READER_PID did not stop; killing it" >&2
        kill -KILL "$READER_PID" 2>/dev/null || true
    fi
    wait "$READER_PID" 2>/dev/null || true
    forget_pid "$READER_PID"
    if [ -n "$PTY_PID" ]; then
        # The terminal's last output (the exit lines) is in the log once
        # `script` has ended.
        if ! wait_gone "$PTY_PID" 100; then
            echo "bench: terminal $PTY_PID did not end; killing it" >&2
            kill -KILL "$PTY_PID" 2>/dev/null || true
        fi
        wait "$PTY_PID" 2>/dev/null || true
        forget_pid "$PTY_PID"
        PTY_PID=""
    fi
}

# stop_publisher: SIGINT after the freeze; its figures are taken by then, so
# a publisher that does not end within 5 s is killed. (Fast DDS 2.9.1 can
# deadlock in a reliable writer with fragmented samples at exit; counted in
# PUB_KILLED and reported.)
PUB_KILLED=0
stop_publisher() {
    kill -CONT "$PUB_PID" 2>/dev/null || true
    kill -INT "$PUB_PID" 2>/dev/null || true
    if ! wait_gone "$PUB_PID" 100; then
        kill -KILL "$PUB_PID" 2>/dev/null || true
        PUB_KILLED=$((PUB_KILLED + 1))
    fi
    wait "$PUB_PID" 2>/dev/null || true
    forget_pid "$PUB_PID"
}

# Samples the reader received and gaps it counted, from its exit output:
# prints "received lost". The monitor's "#samples" starts at -1 at the
# writer's match, so each reader's count is one short of the samples taken.
reader_counts() {
    local kind=$1 log=$2
    if [ "$kind" = bare ]; then
        awk '/^bare total samples:/ { n = $4 } END { if (n == "") exit 1; print n, "-" }' "$log"
    else
        # A terminal's log ends its lines with CR LF.
        awk '/#samples:/ { sub(/\r$/, ""); for (i = 1; i <= NF; i++) { if ($i == "#samples:") s += $(i + 1) + 1; if ($i == "samples:" && $(i - 1) == "#lost") l += $(i + 1) } found = 1 }
             END { if (!found) exit 1; print s, l }' "$log"
    fi
}

# make_multicast_ns VAR NAME: the network namespace NAME, its loopback up and
# carrying multicast (ddsperf's discovery needs it), its name put in VAR;
# remove_ns VAR removes the namespace VAR names, if any.
make_multicast_ns() {
    local var=$1 name=$2
    printf -v "$var" '%s' ""
    ip netns add "$name" || return 1
    printf -v "$var" '%s' "$name"
    ip -n "$name" link set lo up
    ip -n "$name" link set lo multicast on
    ip -n "$name" route add 224.0.0.0/4 dev lo
}

remove_ns() {
    local var=$1
    [ -n "${!var}" ] || return 0
    ip netns del "${!var}" 2>/dev/null || true
    printf -v "$var" '%s' ""
}
