# A secured path beside an open one: lumoQuillpub into lumoQuillmon as fast
# as possible, 1 topic, 64 B and 64 KiB, once without DDS Security and once
# with --security on both (encrypted data, protected discovery and
# liveliness, as the tests' governance). Sourced by bench/run.sh after
# run_case is defined; secured_table prints the rows and the ratios
# secured / open of samples/s and of reader CPU per sample.

SECURED_SIZES=${SECURED_SIZES:-"64 65536"}

# A CA, a governance and permissions signed by it, and the enclaves "monitor"
# and "publisher" under BENCH_ENCLAVES, made with openssl as the README shows.
make_bench_enclaves() {
    BENCH_ENCLAVES="$WORK_DIR/enclaves"
    mkdir -p "$BENCH_ENCLAVES"
    (
        cd "$BENCH_ENCLAVES" || exit 1
        local ec="-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes" name
        # shellcheck disable=SC2086
        openssl req -x509 $ec -keyout ca.key.pem -out ca.cert.pem -days 30 -subj "/CN=bench_ca" 2> /dev/null
        local domains="<domains><id_range><min>0</min><max>232</max></id_range></domains>"
        cat > governance.xml << GOV
<?xml version="1.0" encoding="UTF-8"?>
<dds><domain_access_rules><domain_rule>$domains
  <allow_unauthenticated_participants>false</allow_unauthenticated_participants>
  <enable_join_access_control>true</enable_join_access_control>
  <discovery_protection_kind>ENCRYPT</discovery_protection_kind>
  <liveliness_protection_kind>ENCRYPT</liveliness_protection_kind>
  <rtps_protection_kind>NONE</rtps_protection_kind>
  <topic_access_rules><topic_rule><topic_expression>*</topic_expression>
    <enable_discovery_protection>true</enable_discovery_protection>
    <enable_liveliness_protection>true</enable_liveliness_protection>
    <enable_read_access_control>true</enable_read_access_control>
    <enable_write_access_control>true</enable_write_access_control>
    <metadata_protection_kind>ENCRYPT</metadata_protection_kind>
    <data_protection_kind>ENCRYPT</data_protection_kind>
  </topic_rule></topic_access_rules>
</domain_rule></domain_access_rules></dds>
GOV
        local grants=""
        for name in monitor publisher; do
            grants+="<grant name=\"$name\"><subject_name>CN=$name</subject_name><validity>"
            grants+="<not_before>2020-01-01T00:00:00</not_before><not_after>2040-01-01T00:00:00</not_after></validity>"
            grants+="<allow_rule>$domains<publish><topics><topic>*</topic></topics></publish>"
            grants+="<subscribe><topics><topic>*</topic></topics></subscribe></allow_rule><default>DENY</default></grant>"
        done
        echo "<?xml version=\"1.0\" encoding=\"UTF-8\"?><dds><permissions>$grants</permissions></dds>" > permissions.xml
        for name in governance permissions; do
            openssl smime -sign -text -in $name.xml -out $name.p7s -signer ca.cert.pem -inkey ca.key.pem
        done
        for name in monitor publisher; do
            mkdir -p $name
            # shellcheck disable=SC2086
            openssl req $ec -keyout $name/key.pem -out $name.csr -subj "/CN=$name" 2> /dev/null
            openssl x509 -req -in $name.csr -CA ca.cert.pem -CAkey ca.key.pem -CAcreateserial -days 30 \
                -out $name/cert.pem 2> /dev/null
            cp ca.cert.pem $name/identity_ca.cert.pem
            cp ca.cert.pem $name/permissions_ca.cert.pem
            cp governance.p7s permissions.p7s $name/
        done
    )
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
