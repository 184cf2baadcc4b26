#!/usr/bin/env bash
# Sets the machine up, builds and runs the whole test suite:
#   1. the regular build (build/, Debian's Fast DDS 2.9), then its tests
#      (the package among them: the .deb built, checked by lintian, installed
#      into a scratch root and run), then its cross-host tests (label network:
#      publisher and monitors on test hosts in network namespaces, one at a
#      time; they skip themselves where namespaces cannot be created),
#   2. the same sources against Fast DDS 3 (build-fastdds3/): Fast CDR 2 and
#      Fast DDS 3 are built once by scripts/build-fastdds3.sh into
#      $LUMO_FASTDDS3_PREFIX (default /opt/lumo-fastdds3; 6.4 minutes (382 s)
#      on a fresh 2-core machine with other work beside it the first time,
#      nothing afterwards), then the regular and the cross-host tests,
#   3. the suite of step 1, but the cross-host tests, under AddressSanitizer +
#      UndefinedBehaviorSanitizer (build-asan/),
#   4. the listener and discovery watch tests under ThreadSanitizer (build-tsan/,
#      which builds only those tests),
#   5. the fuzzers (payload checks, sample decoder) sharing a bounded time
#      (build-fuzz/).
# Before the builds: the format check (clang-format-14 over the tracked C++
# files); after the regular build: the lint check (scripts/tidy.sh,
# clang-tidy-14 over the project's own sources).
# Each build is a preset of CMakePresets.json (warnings are errors there),
# and each test run a test preset of the same name, which also sets the
# sanitizers' options.
# --quick runs step 1 only; --quick --fastdds3 (in either order) steps 1 and
# 2. --list prints the steps it would run and exits.
# Step 2 needs the Fast DDS sources (or an install): without them the run
# stops before any other step, saying what is missing.
# At the end (or at the failed step) a table gives each step's time.
# Every DDS participant the tests start is confined to loopback or to the
# network namespaces that the cross-host tests create and remove.
set -euo pipefail
cd "$(dirname "$0")/.."

quick=0
fastdds3=0
list=0
for arg in "$@"; do
    case $arg in
    --quick) quick=1 ;;
    --fastdds3) fastdds3=1 ;;
    --list) list=1 ;;
    *) echo "test.sh: unknown argument $arg" >&2; exit 2 ;;
    esac
done
[ $quick -eq 0 ] && fastdds3=1
jobs=(-j "$(nproc)")
prefix=${LUMO_FASTDDS3_PREFIX:-/opt/lumo-fastdds3}

if [ $fastdds3 -eq 1 ] && ! scripts/build-fastdds3.sh --check --prefix "$prefix"; then
    echo "test.sh: the Fast DDS 3 run cannot start (above); scripts/test.sh --quick runs everything else and needs no Fast DDS 3" >&2
    exit 1
fi

# Run as a step, where set -e does not apply: each command returns on failure.
fastdds3_build() {
    # Niced: the machine is shared, and the first build is long.
    nice -n 10 scripts/build-fastdds3.sh --prefix "$prefix" || return
    scripts/build.sh fastdds3 "-DCMAKE_PREFIX_PATH=$prefix" || return
    # Debian's 2.9 headers stay installed beside: not one of them may slip
    # into the 3.x build.
    if grep -rlE --include='*.d' '/usr/include/(x86_64-linux-gnu/)?(fastrtps|fastdds|fastcdr)/' build-fastdds3; then
        echo "test.sh: the Fast DDS 3 build above included Debian's Fast DDS 2 headers" >&2
        return 1
    fi
}

# name, then the command; run in this order.
steps=(
    "set-up|scripts/setup.sh"
    "format check|scripts/format.sh --check"
    "regular build|scripts/build.sh regular"
    "lint check|scripts/tidy.sh"
    "regular tests|ctest --preset regular ${jobs[*]}"
    "cross-host tests|ctest --preset regular-network"
)
if [ $fastdds3 -eq 1 ]; then
    # The e2e suite also meets the 2.9 build's tools on the wire (the
    # preset sets LUMO_PEER_BIN_DIR to build/bin).
    steps+=(
        "Fast DDS 3 build|fastdds3_build"
        "Fast DDS 3 tests|ctest --preset fastdds3 ${jobs[*]}"
        "Fast DDS 3 cross-host tests|ctest --preset fastdds3-network"
    )
fi
if [ $quick -eq 0 ]; then
    steps+=(
        "ASan+UBSan build|scripts/build.sh asan"
        "ASan+UBSan tests|ctest --preset asan ${jobs[*]}"
        "TSan build|scripts/build.sh tsan --target lumoThreadedTests"
        "TSan tests (listener)|ctest --preset tsan ${jobs[*]}"
        "fuzz build|scripts/build.sh fuzz"
        "fuzzers (payload checks, sample decoder)|ctest --preset fuzz ${jobs[*]}"
    )
fi

if [ $list -eq 1 ]; then
    printf '%s\n' "${steps[@]%%|*}"
    exit 0
fi

names=()
times=()
results=()
table() {
    local i total=0
    echo "=== steps"
    for i in "${!names[@]}"; do
        printf '%-42s %4d:%02d  %s\n' "${names[$i]}" $((times[i] / 60)) $((times[i] % 60)) "${results[$i]}"
        total=$((total + times[i]))
    done
    printf '%-42s %4d:%02d\n' total $((total / 60)) $((total % 60))
}

for step in "${steps[@]}"; do
    name=${step%%|*}
    echo "=== $name"
    start=$SECONDS
    status=0
    # Word splitting is meant: each command is a plain list of words.
    # shellcheck disable=SC2086
    ${step#*|} || status=$?
    names+=("$name")
    times+=($((SECONDS - start)))
    if [ $status -ne 0 ]; then
        results+=("FAILED (exit status $status)")
        table
        echo "test.sh: step \"$name\" failed" >&2
        exit $status
    fi
    results+=(ok)
done
table
