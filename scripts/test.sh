#!/usr/bin/env bash
# Sets the machine up, builds and runs the whole test suite:
#   1. the regular build (build/, Debian's Fast DDS 2.9), then its cross-host
#      tests (label network: publisher and monitors on test hosts in network
#      namespaces, one at a time; they skip themselves where namespaces cannot
#      be created),
#   2. the same sources against Fast DDS 3 (build-fastdds3/): Fast CDR 2 and
#      Fast DDS 3 are built once by scripts/build-fastdds3.sh into
#      $LUMO_FASTDDS3_PREFIX (default /opt/lumo-fastdds3; about 40 minutes on
#      2 cores the first time, nothing afterwards), then the regular and the
#      cross-host tests,
#   3. the suite of step 1, but the cross-host tests, under AddressSanitizer +
#      UndefinedBehaviorSanitizer (build-asan/),
#   4. the listener tests under ThreadSanitizer (build-tsan/),
#   5. the fuzzers (payload checks, sample decoder) sharing a bounded time
#      (build-fuzz/).
# Before the builds: the format check (clang-format-14 over the tracked C++
# files); after the regular build: the lint check (scripts/tidy.sh,
# clang-tidy-14 over the project's own sources).
# Each build is a preset of CMakePresets.json (warnings are errors there),
# and each test run a test preset of the same name, which also sets the
# sanitizers' options.
# --quick runs step 1 only; --quick --fastdds3 steps 1 and 2.
# Every DDS participant the tests start is confined to loopback or to the
# network namespaces that the cross-host tests create and remove.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

quick=0
fastdds3=1
for arg in "$@"; do
    case $arg in
    --quick) quick=1; fastdds3=0 ;;
    --fastdds3) fastdds3=2 ;;
    *) echo "test.sh: unknown argument $arg" >&2; exit 2 ;;
    esac
done
[ $fastdds3 -eq 2 ] && fastdds3=1
jobs=(-j "$(nproc)")

echo "=== format check"
scripts/format.sh --check

echo "=== regular build"
scripts/build.sh regular
echo "=== lint check"
scripts/tidy.sh
ctest --preset regular "${jobs[@]}"
echo "=== cross-host tests (network namespaces)"
ctest --preset regular-network

if [ $fastdds3 -eq 1 ]; then
    echo "=== Fast DDS 3"
    prefix=${LUMO_FASTDDS3_PREFIX:-/opt/lumo-fastdds3}
    # Niced: the machine is shared, and the first build is long.
    nice -n 10 scripts/build-fastdds3.sh --prefix "$prefix"
    scripts/build.sh fastdds3 "-DCMAKE_PREFIX_PATH=$prefix"
    # Debian's 2.9 headers stay installed beside: not one of them may slip
    # into the 3.x build.
    if grep -rlE --include='*.d' '/usr/include/(x86_64-linux-gnu/)?(fastrtps|fastdds|fastcdr)/' build-fastdds3; then
        echo "test.sh: the Fast DDS 3 build above included Debian's Fast DDS 2 headers" >&2
        exit 1
    fi
    # The e2e suite also meets the 2.9 build's tools on the wire (the
    # preset sets LUMO_PEER_BIN_DIR to build/bin).
    ctest --preset fastdds3 "${jobs[@]}"
    ctest --preset fastdds3-network
fi
[ $quick -eq 1 ] && exit 0

echo "=== AddressSanitizer + UndefinedBehaviorSanitizer"
scripts/build.sh asan
ctest --preset asan "${jobs[@]}"

echo "=== ThreadSanitizer (listener tests)"
scripts/build.sh tsan
ctest --preset tsan "${jobs[@]}"

echo "=== fuzzing (payload checks, sample decoder)"
scripts/build.sh fuzz
ctest --preset fuzz "${jobs[@]}"
