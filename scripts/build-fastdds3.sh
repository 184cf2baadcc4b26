#!/usr/bin/env bash
# Builds and installs Fast CDR 2 and Fast DDS 3 into a prefix, once.
#
#   scripts/build-fastdds3.sh [--prefix DIR] [--fastcdr SRC] [--fastdds SRC] [-j N] [--check]
#
# SRC is a source directory or a release tarball; the defaults are the
# tarballs in $LUMO_FASTDDS3_DEPS (../shared/deps beside the repository).
# Debian 12 ships Fast DDS 2.9 only, so the 3.x line is built from source. A
# component whose version is already installed in the prefix (recorded by this
# script after a complete install, with the revision of the build recipe
# below) is left alone, so a second run costs a few milliseconds.
# --check builds nothing: it only says whether a build could proceed (exit 0)
# or what is missing (one line, exit 1), and creates no prefix.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
DEPS="${LUMO_FASTDDS3_DEPS:-$(dirname "$ROOT")/shared/deps}"
PREFIX="${LUMO_FASTDDS3_PREFIX:-/opt/lumo-fastdds3}"
FASTCDR_SRC="$DEPS/Fast-CDR-2.3.5.tar.gz"
FASTDDS_SRC="$DEPS/Fast-DDS-3.6.2.tar.gz"
JOBS="$(nproc)"
CHECK=0
# Raised whenever the flags below change, so that an install made with the
# old ones is rebuilt.
RECIPE=3

usage() {
    sed -n '2,13p' "$0" | sed 's/^# \{0,1\}//'
}

while [ $# -gt 0 ]; do
    case "$1" in
        --prefix) PREFIX="$2"; shift 2 ;;
        --fastcdr) FASTCDR_SRC="$2"; shift 2 ;;
        --fastdds) FASTDDS_SRC="$2"; shift 2 ;;
        -j) JOBS="$2"; shift 2 ;;
        --check) CHECK=1; shift ;;
        -h|--help) usage; exit 0 ;;
        *) echo "build-fastdds3: unknown argument $1" >&2; usage >&2; exit 2 ;;
    esac
done

STAMPS="$PREFIX/share/lumo-deps"

# Whether the prefix holds `name` already: installed here with this recipe,
# or (no stamp at all) an install of its own, found by its CMake package.
usable_install() {
    local name="$1"
    if [ -f "$STAMPS/$name" ]; then
        grep -q " recipe $RECIPE\$" "$STAMPS/$name"
    else
        [ -d "$PREFIX" ] && [ -n "$(find "$PREFIX" -maxdepth 5 -name "$name-config.cmake" -print -quit 2>/dev/null)" ]
    fi
}

# Refuses, in one line and with exit 1, a source that cannot be had: missing
# (unless the prefix already holds the component), or a tarball that does
# not read to its end (a download cut short).
check_source() {
    local name="$1" src="$2"
    if [ -d "$src" ]; then
        [ -f "$src/CMakeLists.txt" ] && return 0
        echo "build-fastdds3: $src is no $name source directory (it has no CMakeLists.txt)" >&2
        exit 1
    elif [ -f "$src" ]; then
        tar tf "$src" >/dev/null 2>&1 && return 0
        echo "build-fastdds3: $src is truncated or damaged (tar cannot read it to the end); fetch it again" >&2
        exit 1
    elif usable_install "$name"; then
        return 0
    fi
    echo "build-fastdds3: no $name source: $src does not exist; give --fastdds and --fastcdr a release tarball" \
        "or a source directory (git clone --recurse-submodules -b v3.6.2 https://github.com/eProsima/Fast-DDS," \
        "-b v2.3.5 https://github.com/eProsima/Fast-CDR), or set LUMO_FASTDDS3_PREFIX to an existing Fast DDS 3 install" >&2
    exit 1
}

check_source fastcdr "$FASTCDR_SRC"
check_source fastdds "$FASTDDS_SRC"
[ "$CHECK" -eq 1 ] && exit 0

mkdir -p "$PREFIX"
PREFIX="$(cd "$PREFIX" && pwd)"
# One build per prefix at a time: a second run (another checkout's tests, a
# benchmark) waits, then finds the versions installed.
exec 9>"$PREFIX/.build-fastdds3.lock"
flock 9
STAMPS="$PREFIX/share/lumo-deps"
# Checked once more under the lock: the prefix may have changed meanwhile.
check_source fastcdr "$FASTCDR_SRC"
check_source fastdds "$FASTDDS_SRC"
WORK="$(mktemp -d "${TMPDIR:-/tmp}/lumo-fastdds3.XXXXXX")"
trap 'rm -rf "$WORK"' EXIT

# Prints the source directory of SRC, unpacking a tarball into the work
# directory first.
source_dir() {
    local src="$1" name="$2"
    if [ -d "$src" ]; then
        (cd "$src" && pwd)
    elif [ -f "$src" ]; then
        mkdir -p "$WORK/$name"
        tar xf "$src" -C "$WORK/$name"
        local top
        top="$(find "$WORK/$name" -mindepth 1 -maxdepth 1 -type d | head -n 1)"
        [ -n "$top" ] || { echo "build-fastdds3: $src holds no directory" >&2; exit 1; }
        echo "$top"
    else
        echo "build-fastdds3: no such source: $src" >&2
        exit 1
    fi
}

# The version a source tree declares in its top-level project() call. The
# first match ends sed: no pipe that a closed reader could break under
# pipefail.
VERSION_SED='s/^project([a-z]* VERSION "\{0,1\}\([0-9.]*\)"\{0,1\}.*/\1/;T;p;q'
project_version() {
    sed -n "$VERSION_SED" "$1/CMakeLists.txt"
}

# The version a source tarball or directory holds without unpacking all of it
# (empty when the tarball has no top-level CMakeLists.txt: read after
# unpacking then).
declared_version() {
    local src="$1" text
    if [ -d "$src" ]; then
        project_version "$src"
    else
        text="$(tar xOf "$src" --wildcards --no-anchored '*/CMakeLists.txt' --exclude='*/*/*' 2>/dev/null || true)"
        sed -n "$VERSION_SED" <<<"$text"
    fi
}

installed() {
    local name="$1" version="$2"
    [ -n "$version" ] && [ -f "$STAMPS/$name" ] && [ "$(cat "$STAMPS/$name")" = "$version recipe $RECIPE" ]
}

build_one() {
    local name="$1" src="$2"
    shift 2
    local version
    if [ ! -e "$src" ]; then
        # check_source found it installed.
        echo "build-fastdds3: no source at $src; keeping the $name in $PREFIX"
        return 0
    fi
    version="$(declared_version "$src")"
    if installed "$name" "$version"; then
        echo "build-fastdds3: $name $version already in $PREFIX"
        return 0
    fi
    local dir start
    start=$(date +%s)
    dir="$(source_dir "$src" "$name")"
    version="$(project_version "$dir")"
    echo "build-fastdds3: building $name $version from $src into $PREFIX"
    # The run path lets libfastdds find the Fast CDR beside it, wherever the
    # prefix is, without LD_LIBRARY_PATH.
    cmake -S "$dir" -B "$WORK/$name-build" -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_INSTALL_PREFIX="$PREFIX" -DCMAKE_PREFIX_PATH="$PREFIX" \
        -DCMAKE_INSTALL_RPATH="$PREFIX/lib" \
        -DBUILD_TESTING=OFF "$@" >"$WORK/$name-configure.log" 2>&1 \
        || { cat "$WORK/$name-configure.log" >&2; exit 1; }
    cmake --build "$WORK/$name-build" -j "$JOBS" >"$WORK/$name-build.log" 2>&1 \
        || { tail -n 100 "$WORK/$name-build.log" >&2; exit 1; }
    rm -f "$STAMPS/$name"
    cmake --install "$WORK/$name-build" >/dev/null
    local lib unresolved
    for lib in "$PREFIX"/lib/lib"$name".so; do
        unresolved="$(ldd "$lib" | grep 'not found' || true)"
        if [ -n "$unresolved" ]; then
            echo "build-fastdds3: $lib does not find: $unresolved" >&2
            exit 1
        fi
    done
    mkdir -p "$STAMPS"
    echo "$version recipe $RECIPE" >"$STAMPS/$name"
    echo "build-fastdds3: $name $version installed in $(( $(date +%s) - start )) s"
}

build_one fastcdr "$FASTCDR_SRC"
# The release turns every warning into an error, and GCC 12 raises
# maybe-uninitialized in the xtypes code; SQLite persistence, tools and
# examples are not needed by the project (and the tarball lacks SQLite).
# Security is on: the tools join domains protected by DDS Security
# (OpenSSL's libssl-dev, installed by setup.sh).
build_one fastdds "$FASTDDS_SRC" \
    -DSQLITE3_SUPPORT=OFF -DCOMPILE_TOOLS=OFF -DCOMPILE_EXAMPLES=OFF -DSECURITY=ON \
    --compile-no-warning-as-error
