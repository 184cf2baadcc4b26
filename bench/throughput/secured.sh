# shellcheck shell=bash
# A secured path beside an open one: lumoQuillpub into lumoQuillmon, 1 topic,
# 64 B and 64 KiB, once without DDS Security and once with --security on
# both. Sourced by bench/run.sh after run_case is defined.
#
# secured_table: as fast as possible, the tests' governance (encrypted data
# and submessages, protected discovery and liveliness); the ratios secured /
# open of samples/s and of reader CPU per sample.
#
# secured_levers_table: at a fixed writer rate (SECURED_RATES), so that CPU
# per sample compares equal loads: one row per lever (SECURED_LEVERS), each a
# governance's protection kinds or a writer setting, beside the open path at
# the same rate; then Cyclone DDS's ddsperf, open and secured with the same
# kinds, as the anchor (in a network namespace of its own; needs root).
#
#   lever       rtps / metadata / data protection kind, writer
#   meta-enc    NONE / ENCRYPT / ENCRYPT   (the tests' governance)
#   meta-sign   NONE / SIGN / ENCRYPT
#   meta-none   NONE / NONE / ENCRYPT
#   rtps        ENCRYPT / NONE / NONE
#   rtps-async  ENCRYPT / NONE / NONE, the writer asynchronous (several
#               samples per datagram, one decode for all of them)
#   blocks-32   meta-enc, the writer profile's own
#               dds.sec.crypto.maxblockspersession 32 (Fast DDS's default, a
#               new session key every 32 samples) over --security's 1024
#   aes128      meta-enc, the writer's dds.sec.crypto.keysize 128
# Discovery and liveliness stay ENCRYPT in every row.

SECURED_SIZES=${SECURED_SIZES:-"64 65536"}
# SIZE:RATE pairs: a load both paths carry on 2 cores.
SECURED_RATES=${SECURED_RATES:-"64:5000 65536:1000"}
SECURED_LEVERS=${SECURED_LEVERS:-"meta-enc meta-sign meta-none rtps rtps-async blocks-32 aes128"}
SECURED_CYCLONE_PLUGINS=${SECURED_CYCLONE_PLUGINS:-/usr/lib/x86_64-linux-gnu/libddsc0debian}

# lever_kinds LEVER: "rtps metadata data" protection kinds of its governance.
lever_kinds() {
    case $1 in
    meta-sign) echo "NONE SIGN ENCRYPT" ;;
    meta-none) echo "NONE NONE ENCRYPT" ;;
    rtps | rtps-async) echo "ENCRYPT NONE NONE" ;;
    *) echo "NONE ENCRYPT ENCRYPT" ;;
    esac
}

# bench_governance MAX RTPS METADATA DATA: a governance of domains 0 to MAX.
bench_governance() {
    local domains="<domains><id_range><min>0</min><max>$1</max></id_range></domains>"
    shift
    cat << GOV
<?xml version="1.0" encoding="UTF-8"?>
<dds><domain_access_rules><domain_rule>$domains
  <allow_unauthenticated_participants>false</allow_unauthenticated_participants>
  <enable_join_access_control>true</enable_join_access_control>
  <discovery_protection_kind>ENCRYPT</discovery_protection_kind>
  <liveliness_protection_kind>ENCRYPT</liveliness_protection_kind>
  <rtps_protection_kind>$1</rtps_protection_kind>
  <topic_access_rules><topic_rule><topic_expression>*</topic_expression>
    <enable_discovery_protection>true</enable_discovery_protection>
    <enable_liveliness_protection>true</enable_liveliness_protection>
    <enable_read_access_control>true</enable_read_access_control>
    <enable_write_access_control>true</enable_write_access_control>
    <metadata_protection_kind>$2</metadata_protection_kind>
    <data_protection_kind>$3</data_protection_kind>
  </topic_rule></topic_access_rules>
</domain_rule></domain_access_rules></dds>
GOV
}

# A CA, permissions signed by it and, per governance, the enclaves "monitor",
# "publisher" and "ddsperf" under BENCH_ENCLAVES/RTPS-METADATA-DATA (made
# with openssl as the README shows); BENCH_ENCLAVES/monitor and /publisher
# are those of the tests' governance. Cyclone DDS refuses a domain range past
# 230 and grants that name no partition (ddsperf uses its own): ddsperf's
# documents say 0 to 230 and every partition, the same kinds otherwise.
make_bench_enclaves() {
    BENCH_ENCLAVES="$WORK_DIR/enclaves"
    [ -f "$BENCH_ENCLAVES/monitor/cert.pem" ] && return 0
    mkdir -p "$BENCH_ENCLAVES"
    (
        cd "$BENCH_ENCLAVES" || exit 1
        local ec="-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes" name kinds lever
        # shellcheck disable=SC2086
        openssl req -x509 $ec -keyout ca.key.pem -out ca.cert.pem -days 30 -subj "/CN=bench_ca" 2> /dev/null
        local grants="" cyclone_grant all="<partitions><partition>*</partition></partitions>"
        local domains="<domains><id_range><min>0</min><max>232</max></id_range></domains>"
        for name in monitor publisher ddsperf; do
            grants+="<grant name=\"$name\"><subject_name>CN=$name</subject_name><validity>"
            grants+="<not_before>2020-01-01T00:00:00</not_before><not_after>2040-01-01T00:00:00</not_after></validity>"
            grants+="<allow_rule>$domains<publish><topics><topic>*</topic></topics></publish>"
            grants+="<subscribe><topics><topic>*</topic></topics></subscribe></allow_rule><default>DENY</default></grant>"
        done
        cyclone_grant=${grants##*<grant name=\"ddsperf\">}
        cyclone_grant="<grant name=\"ddsperf\">${cyclone_grant//<max>232</<max>230<}"
        cyclone_grant=${cyclone_grant//<\/topics><\/publish>/<\/topics>$all<\/publish>}
        cyclone_grant=${cyclone_grant//<\/topics><\/subscribe>/<\/topics>$all<\/subscribe>}
        echo "<?xml version=\"1.0\" encoding=\"UTF-8\"?><dds><permissions>$grants</permissions></dds>" > permissions.xml
        echo "<?xml version=\"1.0\" encoding=\"UTF-8\"?><dds><permissions>$cyclone_grant</permissions></dds>" \
            > permissions-cyclone.xml
        for name in permissions permissions-cyclone; do
            openssl smime -sign -text -in $name.xml -out $name.p7s -signer ca.cert.pem -inkey ca.key.pem
        done
        for name in monitor publisher ddsperf; do
            # shellcheck disable=SC2086
            openssl req $ec -keyout $name.key.pem -out $name.csr -subj "/CN=$name" 2> /dev/null
            openssl x509 -req -in $name.csr -CA ca.cert.pem -CAkey ca.key.pem -CAcreateserial -days 30 \
                -out $name.cert.pem 2> /dev/null
        done
        for lever in meta-enc meta-sign meta-none rtps; do
            kinds=$(lever_kinds "$lever")
            local gov=${kinds// /-}
            [ -d "$gov" ] && continue
            mkdir -p "$gov"
            # shellcheck disable=SC2086
            bench_governance 232 $kinds > "$gov/governance.xml"
            # shellcheck disable=SC2086
            bench_governance 230 $kinds > "$gov/governance-cyclone.xml"
            for name in governance governance-cyclone; do
                openssl smime -sign -text -in "$gov/$name.xml" -out "$gov/$name.p7s" -signer ca.cert.pem \
                    -inkey ca.key.pem
            done
            for name in monitor publisher ddsperf; do
                mkdir -p "$gov/$name"
                cp $name.key.pem "$gov/$name/key.pem"
                cp $name.cert.pem "$gov/$name/cert.pem"
                cp ca.cert.pem "$gov/$name/identity_ca.cert.pem"
                cp ca.cert.pem "$gov/$name/permissions_ca.cert.pem"
                cp "$gov/governance.p7s" permissions.p7s "$gov/$name/"
            done
            cp "$gov/governance-cyclone.p7s" "$gov/ddsperf/governance.p7s"
            cp permissions-cyclone.p7s "$gov/ddsperf/permissions.p7s"
        done
        ln -s NONE-ENCRYPT-ENCRYPT/monitor monitor
        ln -s NONE-ENCRYPT-ENCRYPT/publisher publisher
    )
}

# lever_enclaves LEVER: the directory of its governance's enclaves.
lever_enclaves() {
    local kinds
    kinds=$(lever_kinds "$1")
    echo "$BENCH_ENCLAVES/${kinds// /-}"
}

# lever_qos_file LEVER: QOS_FILE, or a copy whose Lumo_Default_Profile writer
# carries the lever's setting.
lever_qos_file() {
    local insert="" async=0 file="$WORK_DIR/qos-$1.xml"
    case $1 in
    rtps-async) async=1 ;;
    blocks-32) insert="dds.sec.crypto.maxblockspersession:32" ;;
    aes128) insert="dds.sec.crypto.keysize:128" ;;
    *) echo "$QOS_FILE"; return ;;
    esac
    awk -v insert="$insert" -v async=$async '
        /<data_writer profile_name="Lumo_Default_Profile">/ { inside = 1 }
        inside && async && /<publishMode>/ { sub(/SYNCHRONOUS/, "ASYNCHRONOUS") }
        inside && /<\/data_writer>/ {
            if (insert != "") {
                split(insert, p, ":")
                print "      <propertiesPolicy><properties><property><name>" p[1] "</name><value>" p[2] \
                      "</value></property></properties></propertiesPolicy>"
            }
            inside = 0
        }
        { print }' "$QOS_FILE" > "$file"
    echo "$file"
}

secured_table() {
    make_bench_enclaves
    local size run per_s cpu n status ratio cratio open_per_s open_cpu
    declare -A rows
    for size in $SECURED_SIZES; do
        for run in open secured; do
            use_case_domain "$case_index"
            case_index=$((case_index + 1))
            if [ "$run" = secured ]; then
                PUB_EXTRA=(--security "$BENCH_ENCLAVES/publisher")
                rows["$size/$run"]=$(run_case mon-secured zeros "$size" 0 1)
            else
                PUB_EXTRA=()
                rows["$size/$run"]=$(run_case mon zeros "$size" 0 1)
            fi
            PUB_EXTRA=()
        done
    done
    printf '%-10s %-8s %12s %10s %10s %9s %9s %s\n' "size" "path" "received" "samples/s" "cpu s/Ms" "rate/open" \
        "cpu/open" "status"
    for size in $SECURED_SIZES; do
        read -r _ _ open_per_s _ open_cpu _ _ <<< "${rows["$size/open"]}"
        for run in open secured; do
            read -r n _ per_s _ cpu _ status <<< "${rows["$size/$run"]}"
            ratio=""
            cratio=""
            if [ "$run" = secured ]; then
                ratio=$(awk -v a="$per_s" -v b="$open_per_s" 'BEGIN { if (a + 0 > 0 && b + 0 > 0) printf "%.2f", a / b; else print "-" }')
                cratio=$(awk -v a="$cpu" -v b="$open_cpu" 'BEGIN { if (a + 0 > 0 && b + 0 > 0) printf "%.2f", a / b; else print "-" }')
            fi
            printf '%-10s %-8s %12s %10s %10s %9s %9s %s\n' "$(size_text "$size")" "$run" "$n" "$per_s" "$cpu" "$ratio" \
                "$cratio" "$status"
        done
    done
    echo "secured: lumoQuillpub and lumoQuillmon with --security (AES-GCM on every sample, protected discovery);"
    echo "open: the same without it. cpu s/Ms: the monitor's CPU per million samples."
}

# ---------------------------------------------------------------- levers

# secured_lever_case LEVER SIZE RATE: run_case's figures for one lever
# ("open": no DDS Security) at a fixed rate, and the publisher's CPU per
# million samples.
secured_lever_case() {
    local lever=$1 size=$2 rate=$3
    local row
    row=$(RUN_CASE_TAG="lever-$lever-$size-$rate" secured_lever_run "$@")
    echo "$row $(awk -v row="$row" '{ split(row, f, " "); if (f[1] + 0 > 0) printf "%.2f", $1 / f[1] * 1e6; else print "-" }' \
        "$WORK_DIR/lever-$lever-$size-$rate.pub.cpu" 2> /dev/null || echo -)"
}

secured_lever_run() {
    local lever=$1 size=$2 rate=$3 saved_qos=$QOS_FILE
    use_case_domain "$case_index"
    case_index=$((case_index + 1))
    if [ "$lever" = open ]; then
        PUB_EXTRA=()
        run_case mon zeros "$size" "$rate" 1
        return
    fi
    QOS_FILE=$(lever_qos_file "$lever")
    PUB_EXTRA=(--security "$(lever_enclaves "$lever")/publisher")
    SECURED_MONITOR_ENCLAVE="$(lever_enclaves "$lever")/monitor" run_case mon-secured zeros "$size" "$rate" 1
    PUB_EXTRA=()
    QOS_FILE=$saved_qos
}

SECURED_NS=""
secured_remove_ns() { remove_ns SECURED_NS; }
secured_make_ns() { make_multicast_ns SECURED_NS "lumo-bench-sec-$$"; }

# secured_ddsperf LEVER SIZE RATE: ddsperf pub at RATE into ddsperf sub
# (reliable, -T KS), open or with the lever's governance; prints
# "received samples_per_s cpu_per_million status" of the subscriber.
secured_ddsperf() {
    local lever=$1 size=$2 rate=$3 tag="ddsperf-$1-$2" env=()
    local secs=${duration%.*}
    [ "$secs" -ge 3 ] 2> /dev/null || secs=3
    if [ "$lever" != open ]; then
        env=(CYCLONEDDS_URI="file://$ROOT/tests/data/cyclonedds-security.xml"
            LUMO_CYCLONE_PLUGINS="$SECURED_CYCLONE_PLUGINS" LUMO_ENCLAVE="$(lever_enclaves "$lever")/ddsperf")
    fi
    # Its own namespace: any domain of Cyclone DDS's range.
    local perf=(ddsperf -i 7 -T KS)
    ip netns exec "$SECURED_NS" env "${env[@]}" "${perf[@]}" -1 sub > "$WORK_DIR/$tag.sub.log" 2>&1 &
    local sub=$!
    STARTED_PIDS+=("$sub")
    ip netns exec "$SECURED_NS" env "${env[@]}" "${perf[@]}" pub "${rate}Hz" size "$size" \
        > "$WORK_DIR/$tag.pub.log" 2>&1 &
    local pub=$!
    STARTED_PIDS+=("$pub")
    # From the subscriber's first sample: handshakes and matching left out.
    local waited=0
    while [ "$(ddsperf_count "$WORK_DIR/$tag.sub.log")" -eq 0 ] && [ $waited -lt 400 ]; do
        sleep 0.05
        waited=$((waited + 1))
    done
    local n0 cpu0 t0 n1 cpu1 t1 status=ok
    n0=$(ddsperf_count "$WORK_DIR/$tag.sub.log")
    cpu0=$(cpu_seconds "$sub")
    t0=$(now)
    sleep "$secs"
    n1=$(ddsperf_count "$WORK_DIR/$tag.sub.log")
    cpu1=$(cpu_seconds "$sub")
    t1=$(now)
    [ "$n0" -gt 0 ] || status=no-data
    for pid in "$pub" "$sub"; do
        kill -TERM "$pid" 2> /dev/null || true
        wait "$pid" 2> /dev/null || true
        forget_pid "$pid"
    done
    # The counts are ddsperf's per-second lines: the CPU between the two
    # reads is set against the samples between them.
    awk -v n0="$n0" -v n1="$n1" -v c0="$cpu0" -v c1="$cpu1" -v t0="$t0" -v t1="$t1" -v st="$status" 'BEGIN {
        n = n1 - n0
        printf "%d %.0f %s %s\n", n, n / (t1 - t0), (n > 0 ? sprintf("%.2f", (c1 - c0) / n * 1e6) : "-"), st }'
}

# Latest cumulative count of a ddsperf sub log.
ddsperf_count() {
    awk '/ size [0-9]+ total / { for (i = 1; i <= NF; i++) if ($i == "total") t = $(i + 1) } END { print t + 0 }' "$1"
}

secured_levers_table() {
    make_bench_enclaves
    local pair size rate lever n per_s cpu status open_cpu ratio pub_cpu
    declare -A rows
    for pair in $SECURED_RATES; do
        size=${pair%%:*}
        rate=${pair##*:}
        for lever in open $SECURED_LEVERS; do
            rows["$size/$lever"]=$(secured_lever_case "$lever" "$size" "$rate")
            case_index=$((case_index + 1))
        done
    done
    printf '%-8s %8s %-11s %12s %10s %10s %9s %10s %s\n' "size" "rate/s" "lever" "received" "samples/s" \
        "cpu s/Ms" "cpu/open" "pub s/Ms" "status"
    for pair in $SECURED_RATES; do
        size=${pair%%:*}
        rate=${pair##*:}
        read -r _ _ _ _ open_cpu _ _ _ <<< "${rows["$size/open"]}"
        for lever in open $SECURED_LEVERS; do
            read -r n _ per_s _ cpu _ status pub_cpu <<< "${rows["$size/$lever"]}"
            ratio=$(awk -v a="$cpu" -v b="$open_cpu" 'BEGIN { if (a + 0 > 0 && b + 0 > 0) printf "%.2f", a / b; else print "-" }')
            printf '%-8s %8s %-11s %12s %10s %10s %9s %10s %s\n' "$(size_text "$size")" "$rate" "$lever" "$n" \
                "$per_s" "$cpu" "$ratio" "$pub_cpu" "$status"
        done
    done
    echo "lumoQuillpub -r RATE into lumoQuillmon; cpu s/Ms: the monitor's CPU per million samples; cpu/open: over"
    echo "the open row of the same size and rate, measured in this run; pub s/Ms: the publisher's. Levers:"
    echo "bench/throughput/secured.sh."
    if ! command -v ddsperf > /dev/null; then
        echo "ddsperf not found (Debian package cyclonedds-tools): no Cyclone DDS anchor"
        return
    fi
    if ! secured_make_ns; then
        echo "no network namespace (root needed): no Cyclone DDS anchor"
        return
    fi
    trap 'cleanup_started; secured_remove_ns' EXIT
    trap 'exit 130' INT TERM
    echo
    printf '%-8s %8s %-11s %12s %10s %10s %9s %s\n' "size" "rate/s" "ddsperf" "received" "samples/s" "cpu s/Ms" \
        "cpu/open" "status"
    for pair in $SECURED_RATES; do
        size=${pair%%:*}
        rate=${pair##*:}
        open_cpu=""
        for lever in open meta-enc meta-none rtps; do
            read -r n per_s cpu status <<< "$(secured_ddsperf "$lever" "$size" "$rate")"
            [ "$lever" = open ] && open_cpu=$cpu
            ratio=$(awk -v a="$cpu" -v b="$open_cpu" 'BEGIN { if (a + 0 > 0 && b + 0 > 0) printf "%.2f", a / b; else print "-" }')
            printf '%-8s %8s %-11s %12s %10s %10s %9s %s\n' "$(size_text "$size")" "$rate" "$lever" "$n" "$per_s" \
                "$cpu" "$ratio" "$status"
        done
    done
    secured_remove_ns
    trap cleanup_started EXIT INT TERM
    echo "ddsperf pub RATE into ddsperf sub (Cyclone DDS $(dpkg-query -W -f '${Version}' cyclonedds-tools 2> /dev/null),"
    echo "-T KS, reliable) in a network namespace of its own: the same governance kinds, CA and permissions;"
    echo "cpu s/Ms: the subscriber's CPU per million samples."
}
