#!/usr/bin/env bash
# Sets the machine up, builds, and runs lumoQuillmon with debug logging on a
# demo topic, confined to the loopback interface. Ctrl-C ends it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLUMO_BUILD_TESTS=OFF > /dev/null
exec build/bin/lumoQuillmon -d -t DemoTopic -a 127.0.0.1 "$@"
