#!/usr/bin/env bash
# packageTest.sh BUILD_DIR SOURCE_DIR: the Debian package as its users meet
# it. Built by cpack from the build tree and checked by lintian; its files,
# and those of cmake --install, are those docs/layout.md lists; installed by
# dpkg into a scratch root; from a directory with no build tree, the installed
# monitor reads the installed publisher on loopback with the installed QoS
# file, and the installed lumoQuillreport makes its report's page; the manual pages render without a warning and list every option of
# --help; the completion offers options, profiles and patterns; then purged,
# leaving no file behind.
set -euo pipefail
build=$(cd "$1" && pwd)
source_dir=$(cd "$2" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/lumo-package.XXXXXX")
pids=()
cleanup() {
    local pid
    for pid in "${pids[@]}"; do kill -KILL "$pid" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT
fail() {
    echo "packageTest: $*" >&2
    exit 1
}

version=$(sed -n 's/^set(LUMO_VERSION "\(.*\)")$/\1/p' "$build/version/lumoVersion.cmake")
debian_version=$(sed -n 's/^set(LUMO_DEBIAN_VERSION "\(.*\)")$/\1/p' "$build/version/lumoVersion.cmake")

echo "--- cpack"
cpack --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1 || { cat "$work/cpack.log"; fail "cpack failed"; }
deb="$work/out/lumoquillmon_${debian_version}_$(dpkg --print-architecture).deb"
[ -f "$deb" ] || fail "no $deb; cpack made: $(ls "$work/out")"
echo "$(basename "$deb"): $(stat -c %s "$deb") bytes"
dpkg-deb -f "$deb" Depends
for library in libfastrtps liblog4cplus libboost-program-options libncursesw6; do
    dpkg-deb -f "$deb" Depends | grep -q "$library" || fail "Depends lacks $library: shlibdeps did not run"
done

echo "--- lintian"
lintian --fail-on error "$deb" || fail "lintian reports an error"

echo "--- installed files against docs/layout.md"
# The rows of the table whose header starts with $1, one file a line; in a
# row of several files the later ones are relative to the first one's
# directory.
listed() {
    awk -v head="$1" '
        index($0, head) == 1 { on = 1; next }
        on && /^\|---/ { next }
        on && !/^\|/ { exit }
        on {
            split($0, cells, "|")
            names = cells[2]
            n = 0
            while (match(names, /`[^`]+`/)) {
                name = substr(names, RSTART + 1, RLENGTH - 2)
                names = substr(names, RSTART + RLENGTH)
                if (n++ == 0) { dir = name; sub(/[^\/]*$/, "", dir); print name } else print dir name
            }
        }' "$source_dir/docs/layout.md"
}
# Both ways, naming every file on one side only.
same_files() {
    local missing extra
    missing=$(comm -23 <(printf '%s\n' "$2" | sort) <(printf '%s\n' "$3" | sort))
    extra=$(comm -13 <(printf '%s\n' "$2" | sort) <(printf '%s\n' "$3" | sort))
    [ -z "$missing$extra" ] || fail "$1 and docs/layout.md differ:${missing:+ not installed: $(echo $missing)}${extra:+ not listed: $(echo $extra)}"
}
package_listed=$(listed '| file (install component `tools`, the Debian package) |')
only_installed=$(listed '| file (`cmake --install` only) |')
[ -n "$package_listed" ] && [ -n "$only_installed" ] || fail "docs/layout.md has no tables of installed files"
same_files "the package" "$package_listed" "$(dpkg-deb -c "$deb" | awk '$1 ~ /^-/ { sub(/^\.\/usr\//, "", $NF); print $NF }')"
cmake --install "$build" --prefix "$work/prefix" >"$work/install.log" 2>&1 || { cat "$work/install.log"; fail "cmake --install failed"; }
# The library directory may carry the multiarch triplet, as the list says.
same_files "cmake --install" "$package_listed
$only_installed" "$(find "$work/prefix" -type f -printf '%P\n' | sed 's|^lib/[^/]*-linux-gnu/|lib/|')"

echo "--- dpkg --root"
root="$work/root"
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
touch "$root/var/lib/dpkg/status"
before=$(find "$root" | sort)
# The scratch root has no libraries: the tools run with the machine's, which
# Depends names.
dpkg --root="$root" --log=/dev/null --force-depends -i "$deb" >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log"; fail "dpkg -i failed"; }
export PATH="$root/usr/bin:$PATH"
mkdir "$work/elsewhere"
cd "$work/elsewhere"

[ "$(lumoQuillmon --version | head -n 1)" = "lumoQuillmon $version" ] || fail "lumoQuillmon --version: $(lumoQuillmon --version)"
if git -C "$source_dir" rev-parse --short=7 HEAD >/dev/null 2>&1; then
    case $version in *"$(git -C "$source_dir" rev-parse --short=7 HEAD)"*) ;; *) fail "version $version names another commit" ;; esac
fi
# The Fast DDS it says it was built against is the one it runs with.
fastdds_file=$(readlink -f "$(ldd "$root/usr/bin/lumoQuillpub" | sed -n 's/.*libfastrtps[^ ]* => \([^ ]*\).*/\1/p')")
[ "$(lumoQuillpub --version | sed -n 2p)" = "Fast DDS ${fastdds_file##*.so.}" ] ||
    fail "lumoQuillpub --version: $(lumoQuillpub --version), running with $fastdds_file"

echo "--- the installed monitor reads the installed publisher"
# A domain no test process running beside this one holds: the same lock
# files as the C++ tests' domain claim.
for i in $(seq 0 199); do
    domain=$((20 + ($$ + i) % 200))
    exec {domain_lock}>>"/tmp/lumo-test-domain-$domain.lock"
    flock -n "$domain_lock" && break
    exec {domain_lock}>&-
done
topic="PackageTopic_$$"
lumoQuillmon -t "$topic" -a 127.0.0.1 --domain-id "$domain" -d --fail-on missing,no-data --report report.jsonl \
    >monitor.log 2>&1 &
monitor=$!
pids+=("$monitor")
lumoQuillpub -t "$topic" -a 127.0.0.1 --domain-id "$domain" -n 100 -r 200 --linger 60 >publisher.log 2>&1 &
publisher=$!
pids+=("$publisher")
summary="[$topic][0] samples written: 100 ids skipped: 0 ids repeated: 0 samples corrupted: 0 write failures: 0"
for _ in $(seq 120); do
    grep -qxF "$summary" publisher.log && break
    kill -0 "$publisher" 2>/dev/null || break
    sleep 0.5
done
grep -qxF "$summary" publisher.log || { cat publisher.log monitor.log; fail "no summary from the publisher"; }
kill -INT "$monitor"
status=0
wait "$monitor" || status=$?
kill -INT "$publisher"
wait "$publisher" || true
[ $status -eq 0 ] || { cat monitor.log; fail "the monitor ended with status $status"; }
grep -qF "INFO  [$topic][0] SampleId: 0 Payload size: 64" monitor.log || { cat monitor.log; fail "no first sample"; }
lumoQuillreport report.jsonl -o report.html >report.log 2>&1 || { cat report.log; fail "lumoQuillreport failed"; }
grep -qE "INFO  Wrote 'report.html' from [0-9]+ records of 'report.jsonl'$" report.log || { cat report.log; fail "no page written"; }
grep -qF "$topic" report.html || fail "the page does not name $topic"

echo "--- manual pages"
for tool in lumoQuillmon lumoQuillpub lumoQuillreport; do
    page="$root/usr/share/man/man1/$tool.1.gz"
    LC_ALL=C MANWIDTH=80 man --warnings -l "$page" >"$tool.txt" 2>"$tool.warnings" || fail "man -l $page failed"
    [ ! -s "$tool.warnings" ] || { cat "$tool.warnings"; fail "man --warnings on $tool.1"; }
    for option in $("$tool" --help | sed -n 's/^  \(-. \[ \)\{0,1\}\(--[a-z0-9-]*\).*/\2/p'); do
        grep -qF -- "$option" "$tool.txt" || fail "$tool(1) lacks $option"
        # The README's option table is the monitor's.
        [ "$tool" != lumoQuillmon ] || grep -q -- "^| .*\`$option[\` ]" "$source_dir/README.md" ||
            fail "README.md's option table lacks $option"
    done
    grep -q '^EXIT STATUS' "$tool.txt" || fail "$tool(1) has no EXIT STATUS"
done

echo "--- bash completion"
# tool | words on the command line, the last one being completed | expected
while IFS='|' read -r tool words expected; do
    got=$(bash -c 'source "$1"; shift; tool=$1; shift; COMP_WORDS=("$tool" "$@"); COMP_CWORD=$#
                   "_$tool"; echo "${COMPREPLY[*]}"' \
        completion "$root/usr/share/bash-completion/completions/$tool" "$tool" $words)
    [ "$got" = "$expected" ] || fail "completing '$tool $words': '$got', not '$expected'"
done <<'CASES'
lumoQuillmon|--rep|--report --report-period --report-html
lumoQuillmon|--qos-profile Lumo_L|Lumo_Liveliness_Profile Lumo_Loopback_Profile
lumoQuillmon|-t A --expected-payload-pattern a|alternating_float_ramp
lumoQuillmon|--domain-id -|
lumoQuillpub|--payload r|ramp
lumoQuillpub|--vers|--version
lumoQuillmon|-t A monitor.l|
lumoQuillreport|--ou|--output
lumoQuillreport|monitor.l|monitor.log
lumoQuillreport|report.jsonl -o publisher.l|publisher.log
CASES

echo "--- dpkg --purge"
dpkg --root="$root" --log=/dev/null --purge lumoquillmon >/dev/null
after=$(find "$root" -path "$root/var/lib/dpkg" -prune -o -print | sort)
left=$(comm -13 <(printf '%s\n' "$before") <(printf '%s\n' "$after"))
[ -z "$left" ] || fail "left behind: $left"
echo "packageTest: all checks passed"
