# shellcheck shell=bash
# Receive-side levers for bench/throughput/intake.sh: each a variant of the
# shipped QoS file ($QOS_FILE) with one setting changed in every profile
# (the bench reads Lumo_Default_Profile). Sourced, not run.
#
#   rcvbuf-208k, rcvbuf-1m      UDP receiveBufferSize (shipped 4 MiB)
#   mem-prealloc, mem-dynamic,  the reader's and writer's historyMemoryPolicy:
#   mem-reusable                PREALLOCATED, DYNAMIC (the C++ DYNAMIC_RESERVE), DYNAMIC_REUSABLE
#                               (shipped PREALLOCATED_WITH_REALLOC)
#   hbdelay-1ms, hbdelay-5ms    the reader's heartbeatResponseDelay (shipped 0;
#                               Fast DDS's default 5 ms)
#   ackdelay-70ms               the reader's initialAcknackDelay (shipped 0;
#                               Fast DDS's default 70 ms)
#   no-shm                      UDP alone (the participant's transports: one
#                               receive thread fewer per port)
INTAKE_LEVERS_ALL="rcvbuf-208k rcvbuf-1m mem-prealloc mem-dynamic mem-reusable hbdelay-1ms hbdelay-5ms ackdelay-70ms no-shm"

[ "${INTAKE_LEVERS:-}" = all ] && INTAKE_LEVERS=$INTAKE_LEVERS_ALL

# intake_lever_file LEVER: writes the variant into WORK_DIR, prints its path.
intake_lever_file() {
    local lever=$1 out="$WORK_DIR/lever-$1.xml" expr
    local hb='heartbeatResponseDelay\|heartbeat_response_delay' ack='initialAcknackDelay\|initial_acknack_delay'
    case $lever in
    rcvbuf-208k) expr='s|<receiveBufferSize>[0-9]*<|<receiveBufferSize>212992<|' ;;
    rcvbuf-1m) expr='s|<receiveBufferSize>[0-9]*<|<receiveBufferSize>1048576<|' ;;
    mem-prealloc) expr='s|<historyMemoryPolicy>[A-Z_]*<|<historyMemoryPolicy>PREALLOCATED<|' ;;
    mem-dynamic) expr='s|<historyMemoryPolicy>[A-Z_]*<|<historyMemoryPolicy>DYNAMIC<|' ;;
    mem-reusable) expr='s|<historyMemoryPolicy>[A-Z_]*<|<historyMemoryPolicy>DYNAMIC_REUSABLE<|' ;;
    # Fast DDS 3 builds ship the file with the timing elements renamed.
    hbdelay-1ms) expr="s#<\\($hb\\)><sec>0</sec><nanosec>0<#<\\1><sec>0</sec><nanosec>1000000<#" ;;
    hbdelay-5ms) expr="s#<\\($hb\\)><sec>0</sec><nanosec>0<#<\\1><sec>0</sec><nanosec>5000000<#" ;;
    ackdelay-70ms) expr="s#<\\($ack\\)><sec>0</sec><nanosec>0<#<\\1><sec>0</sec><nanosec>70000000<#" ;;
    # The lines of the participants' userTransports lists, not the
    # descriptor's own id nor the shared-memory-only profile.
    no-shm) expr='/^          <transport_id>lumo_shm</d' ;;
    *) echo "bench: unknown lever $lever" >&2; return 1 ;;
    esac
    sed -e "$expr" "$QOS_FILE" > "$out"
    # A lever that changes nothing would be measured as one.
    if cmp -s "$QOS_FILE" "$out"; then
        echo "bench: lever $lever changes nothing in $QOS_FILE" >&2
        return 1
    fi
    echo "$out"
}
