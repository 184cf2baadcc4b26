#!/usr/bin/env bash
# scriptsTest.sh SOURCE_DIR: the set-up scripts where a newcomer meets them.
#   build-fastdds3.sh: no source, or a truncated tarball, is one line and exit 1;
#   test.sh: the steps it plans, in either order of --quick and --fastdds3, and
#     a missing Fast DDS source stops it before any step;
#   format.sh outside a git checkout checks the tree's files, never standard input;
#   bench/throughput/intakeLevers.sh: each QoS lever changes its element alone, in
#     the shipped file and in a Fast DDS 3 build's copy; one that changes nothing
#     or is unknown is refused, never measured as the shipped file.
set -euo pipefail
source_dir=$(cd "$1" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/lumo-scripts.XXXXXX")
trap 'rm -rf "$work"' EXIT
fail() {
    echo "scriptsTest: $*" >&2
    exit 1
}

# A small Fast CDR look-alike tarball, and the same cut short.
mkdir -p "$work/src/Fast-CDR-2.3.5" "$work/deps"
echo 'project(fastcdr VERSION 2.3.5 LANGUAGES CXX)' >"$work/src/Fast-CDR-2.3.5/CMakeLists.txt"
head -c 300000 /dev/urandom | base64 >"$work/src/Fast-CDR-2.3.5/data"
tar czf "$work/deps/Fast-CDR-2.3.5.tar.gz" -C "$work/src" Fast-CDR-2.3.5
cp "$work/deps/Fast-CDR-2.3.5.tar.gz" "$work/deps/Fast-DDS-3.6.2.tar.gz"
head -c 100000 "$work/deps/Fast-CDR-2.3.5.tar.gz" >"$work/cut.tar.gz"
export LUMO_FASTDDS3_PREFIX="$work/prefix"

# command | expected exit status | a line the output must hold (and be the only line of, for build-fastdds3)
while IFS='|' read -r command expected_status expected_line; do
    status=0
    # shellcheck disable=SC2086 # a plain list of words
    output=$(cd "$source_dir" && timeout 120 env $command 2>&1 </dev/null) || status=$?
    [ "$status" = "$expected_status" ] || fail "$command: exit status $status, not $expected_status; output: $output"
    grep -qF -- "$expected_line" <<<"$output" || fail "$command: no '$expected_line' in: $output"
    if [[ $command == scripts/build-fastdds3.sh* ]] && [ "$(wc -l <<<"$output")" -ne 1 ]; then
        fail "$command: more than one line: $output"
    fi
done <<CASES
scripts/build-fastdds3.sh --fastcdr $work/none.tar.gz|1|build-fastdds3: no fastcdr source: $work/none.tar.gz does not exist; give --fastdds and --fastcdr a release tarball or a source directory (git clone --recurse-submodules -b v3.6.2 https://github.com/eProsima/Fast-DDS, -b v2.3.5 https://github.com/eProsima/Fast-CDR), or set LUMO_FASTDDS3_PREFIX to an existing Fast DDS 3 install
scripts/build-fastdds3.sh --fastcdr $work/cut.tar.gz|1|build-fastdds3: $work/cut.tar.gz is truncated or damaged (tar cannot read it to the end); fetch it again
LUMO_FASTDDS3_DEPS=$work/none scripts/test.sh --list|1|test.sh: the Fast DDS 3 run cannot start (above); scripts/test.sh --quick runs everything else and needs no Fast DDS 3
LUMO_FASTDDS3_DEPS=$work/none scripts/test.sh --quick --list|0|cross-host tests
LUMO_FASTDDS3_DEPS=$work/deps scripts/test.sh --fastdds3 --quick --list|0|Fast DDS 3 tests
LUMO_FASTDDS3_DEPS=$work/deps scripts/test.sh --quick --fastdds3 --list|0|Fast DDS 3 tests
CASES
[ ! -e "$work/prefix" ] || fail "a check created the prefix"
quick_steps=$(cd "$source_dir" && LUMO_FASTDDS3_DEPS="$work/deps" scripts/test.sh --fastdds3 --quick --list)
grep -q ASan <<<"$quick_steps" && fail "--fastdds3 --quick plans the sanitizer builds: $quick_steps"

# format.sh in a copy of the tree that is no git checkout: it finds the
# badly formatted file (and does not wait for standard input).
mkdir -p "$work/tree/scripts" "$work/tree/src"
cp "$source_dir/scripts/format.sh" "$work/tree/scripts/"
cp "$source_dir/.clang-format" "$work/tree/"
printf 'int  main( ){return 0;}\n' >"$work/tree/src/bad.cpp"
status=0
output=$(GIT_CEILING_DIRECTORIES="$work" timeout 60 "$work/tree/scripts/format.sh" --check 2>&1 </dev/null) || status=$?
[ $status -ne 0 ] && grep -q 'bad.cpp' <<<"$output" || fail "format.sh --check outside git: status $status, output: $output"
# lever | lines it replaces or removes | text of every line it writes
qos2="$source_dir/libs/componentFramework/qos/telemDataPathDdsQos.xml"
qos3="$work/qos3.xml"
sed -e 's/heartbeatResponseDelay>/heartbeat_response_delay>/g; s/initialAcknackDelay>/initial_acknack_delay>/g' \
    "$qos2" >"$qos3"
lever_file() {
    (cd "$source_dir" && QOS_FILE=$1 WORK_DIR=$work bash -c 'source bench/throughput/intakeLevers.sh && intake_lever_file "$0"' "$2")
}
while IFS='|' read -r lever replaced written; do
    for qos in "$qos2" "$qos3"; do
        file=$(lever_file "$qos" "$lever" 2>&1) || fail "lever $lever on $qos: $file"
        python3 -c 'import sys, xml.dom.minidom as m; m.parse(sys.argv[1])' "$file" || fail "lever $lever: malformed $file"
        changes=$(diff "$qos" "$file" || true)
        [ "$(grep -c '^<' <<<"$changes")" = "$replaced" ] || fail "lever $lever on $qos: not $replaced lines: $changes"
        if grep '^>' <<<"$changes" | grep -vqF -- "$written"; then
            fail "lever $lever on $qos: a line without '$written': $changes"
        fi
    done
done <<LEVERS
rcvbuf-208k|2|<receiveBufferSize>212992</receiveBufferSize>
mem-dynamic|10|<historyMemoryPolicy>DYNAMIC</historyMemoryPolicy>
hbdelay-5ms|4|><sec>0</sec><nanosec>5000000</nanosec></
ackdelay-70ms|4|><sec>0</sec><nanosec>70000000</nanosec></
no-shm|4|-
LEVERS
cp "$(lever_file "$qos2" hbdelay-1ms)" "$work/hb.xml"
for refused in "$work/hb.xml hbdelay-1ms|changes nothing" "$qos2 rcvbuf-2m|unknown lever"; do
    read -r qos lever <<<"${refused%%|*}"
    output=$(lever_file "$qos" "$lever" 2>&1) && fail "lever $lever on $qos made: $output"
    grep -qF "${refused#*|}" <<<"$output" || fail "lever $lever on $qos: $output"
done
echo "scriptsTest: all checks passed"
