#!/usr/bin/env bash
# Installs every Debian package the project needs. Idempotent: does nothing
# when all of them are there; otherwise runs apt-get update once, then
# installs what is missing.
set -euo pipefail

PACKAGES=(
    build-essential cmake g++ pkg-config
    libfastrtps-dev libfastcdr-dev
    # what scripts/build-fastdds3.sh needs to build Fast DDS 3 from source
    libfoonathan-memory-dev libasio-dev libtinyxml2-dev
    # DDS Security: Fast DDS 3's security plugins, the tools' enclave checks
    libssl-dev
    libfmt-dev liblog4cplus-dev libboost-program-options-dev
    libgtest-dev libgmock-dev libbenchmark-dev
    # ddsperf, the reference peer of bench/run.sh
    cyclonedds-tools
    # perf: where the monitor's receive path spends its CPU, beside ddsperf
    # sub's (bench/throughput/intakeProfile.sh)
    linux-perf
    # Cyclone DDS publishers of the interoperability tests
    cyclonedds-dev
    clang-14 libclang-rt-14-dev
    # the style and lint checks of scripts/test.sh
    clang-format-14 clang-tidy-14
    iproute2 procps nftables tcpdump
    # the report's records; jq for the README's CI recipe; the report's JSON
    # Schema, checked on every record a test reads
    nlohmann-json3-dev jq python3 python3-jsonschema
    # the report page: Chart.js inlined at build time (lumoQuillreport,
    # --report-html); Chromium, headless, opens the page in its tests
    libjs-chart.js chromium
    # fast-discovery-server, the discovery server of the cross-host tests
    fastdds-tools
    # the Debian package and its check (tests/package): CPack's dependency
    # computation needs file; man renders the manual pages
    file lintian man-db
    # --metrics: Boost.Asio and Beast (headers), the endpoint's HTTP server,
    # and prometheus-cpp (its core serializer); Prometheus and promtool, and
    # curl, in its tests
    libboost1.74-dev prometheus-cpp-dev prometheus curl
    # --live: ncursesw draws the view; tmux is the real terminal of its tests
    # and of the README's screenshot (bench/throughput/live.sh uses script,
    # from bsdutils, which is essential)
    libncurses-dev tmux
)

missing=()
for pkg in "${PACKAGES[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$pkg")
    fi
done

if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then
    SUDO="sudo"
fi
echo "setup: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -q
$SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
# Debian starts the Prometheus it installs as a service on every interface
# (:9090); the tests start their own on 127.0.0.1 and need none running.
if [[ " ${missing[*]} " == *" prometheus "* ]] && [ -d /run/systemd/system ]; then
    $SUDO systemctl disable --now prometheus.service || true
fi
