#!/usr/bin/env bash
# The demonstration: installs what is missing, builds, starts a private system
# bus with the label manager service on a temporary database, and shows the
# administrator's tool at work: setting, reading, listing and watching labels,
# labelling a small package, and writing and reading a file's own label.
# Run it as root (the service accepts changes from root only).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake -S . -B build-demo -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZORV_BUILD_TESTS=OFF -DZORV_BUILD_BENCH=OFF >/dev/null
cmake --build build-demo -j "$(nproc)" --target zorv-label zorv-labelmgrd

work=$(mktemp -d)
cleanup() {
  [ -n "${watcher:-}" ] && kill "$watcher" 2>/dev/null
  [ -n "${service:-}" ] && kill "$service" 2>/dev/null && wait "$service" 2>/dev/null
  tests/bus/stop-bus.sh "$work/bus"
  rm -rf "$work"
}
trap cleanup EXIT

bold=$(tput bold 2>/dev/null || true) plain=$(tput sgr0 2>/dev/null || true)
say() { printf '\n%s# %s%s\n' "$bold" "$*" "$plain"; }
show() { printf '%s$ %s%s\n' "$bold" "$*" "$plain"; "$@"; }

say "A private system bus, and the label manager service on it with a fresh database"
address=$(tests/bus/start-bus.sh "$work/bus")
export ZORV_NOTIFY_ENDPOINT=ipc://$work/notify.socket  # the service and the watch; never the host's
build-demo/daemon/zorv-labelmgrd --address "$address" --db "$work/labels.db" >"$work/service.log" 2>&1 &
service=$!
export DBUS_SYSTEM_BUS_ADDRESS=$address
export PATH=$PWD/build-demo/tools:$PATH
for _ in $(seq 100); do zorv-label status >/dev/null 2>&1 && break; sleep 0.1; done
echo "bus: $address"
echo "database: $work/labels.db"

say "zorv-label watch runs in the background and collects every change (shown at the end)"
zorv-label watch >"$work/watch.log" &
watcher=$!
sleep 0.5

say "Set labels of paths, and read them back"
show zorv-label set tid /usr/bin/true 5
show zorv-label set tid /usr/share/doc/some/deep/path/readme 7
show zorv-label set oid /usr/bin/true 1-0-2a
show zorv-label get tid /usr/bin/true
show zorv-label get oid /usr/bin/true

say "List them: an aligned table, or JSON for scripts"
show zorv-label show tid
show zorv-label --json show tid

say "Mistakes get one line on standard error and an exit code (2: usage, 1: refused, 3: no service)"
show zorv-label set tid /usr/bin/true zero || echo "exit code $?"
show zorv-label get sid /usr/bin/true || echo "exit code $?"

say "Label a small package: its file list comes from standard input (progress shows on a terminal)"
mkdir -p "$work/hello/bin" "$work/hello/share"
for i in $(seq 1 300); do echo "$i" >"$work/hello/share/file$i"; done
echo '#!/bin/sh' >"$work/hello/bin/hello"
find "$work/hello" -type f >"$work/hello.list"
printf '%s$ %s%s\n' "$bold" "zorv-label package hello < hello.list" "$plain"
zorv-label package hello <"$work/hello.list"
show zorv-label pkg-id hello
show zorv-label pkg-name "$(zorv-label pkg-id hello | awk 'NR == 2 { print $2 }')"
printf '%s$ %s%s\n' "$bold" "echo '{\"subject_pkg\": [\"hello\"]}' | zorv-label policy" "$plain"
echo '{"subject_pkg": ["hello"]}' | zorv-label policy

say "A file's own label, in its security.zorv attribute (needs root and a file system that keeps it)"
if show zorv-label file set "$work/hello/bin/hello" 1-0-2a:5:1-0-0:0:0-0-0; then
  show zorv-label file get "$work/hello/bin/hello"
  show zorv-label restore --init "$work/hello/bin/hello"
  show zorv-label --json file get "$work/hello/bin/hello"
fi

say "What zorv-label watch printed meanwhile"
sleep 0.3
kill "$watcher" && wait "$watcher" 2>/dev/null || true
watcher=
cat "$work/watch.log"
