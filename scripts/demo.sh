#!/usr/bin/env bash
# Installs what is missing, builds, starts a private system bus with the
# stand-in label manager service, and runs the example program against it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZORV_BUILD_TESTS=OFF -DZORV_BUILD_BENCH=OFF >/dev/null
cmake --build build -j "$(nproc)" --target zorv_demo zorv-labelmgr-standin
busdir=$(mktemp -d)
trap 'tests/bus/stop-bus.sh "$busdir"; rm -rf "$busdir"' EXIT
address=$(tests/bus/start-bus.sh "$busdir" "$PWD/build/standin/zorv-labelmgr-standin")
echo "private bus: $address"
DBUS_SYSTEM_BUS_ADDRESS=$address build/examples/zorv_demo "$@"
