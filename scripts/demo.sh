#!/usr/bin/env bash
# Sets the machine up, builds, and runs the bundled publisher and lumoQuillmon
# side by side on two demo topics, both confined to the loopback interface. The
# monitor logs with -d and verifies every payload; Ctrl-C stops both.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo > build.configure.log 2>&1 || { cat build.configure.log; exit 1; }
cmake --build build -j "$(nproc)" --target lumoQuillmon lumoQuillpub > /dev/null

build/bin/lumoQuillpub -t DemoTopic1 DemoTopic2 -a 127.0.0.1 -r 10 --payload alternating_float_ramp \
    --wait-timeout 0 > build/demo-publisher.log 2>&1 &
publisher=$!
trap 'kill -TERM $publisher 2>/dev/null || true; wait $publisher 2>/dev/null || true' EXIT
echo "publisher running (log: build/demo-publisher.log)"
build/bin/lumoQuillmon -d -t DemoTopic1 DemoTopic2 -a 127.0.0.1 --expected-payload-pattern alternating_float_ramp "$@"
