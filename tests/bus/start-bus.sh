#!/usr/bin/env bash
# start-bus.sh DIR [STANDIN...]: a private system-type dbus-daemon on DIR/system_bus_socket and, if given, the
# stand-in service (its command) on it; their pids go to DIR/bus.pid and DIR/standin.pid for stop-bus.sh.
set -euo pipefail
dir=$1
standin=("${@:2}")
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$dir"
"$here/stop-bus.sh" "$dir" || true
rm -f "$dir/system_bus_socket" "$dir/standin.ready"
address="unix:path=$dir/system_bus_socket"
sed "s|@ADDRESS@|$address|" "$here/system-bus.conf" >"$dir/bus.conf"
dbus-daemon --config-file="$dir/bus.conf" --fork --print-pid >"$dir/bus.pid"
for _ in $(seq 100); do [ -S "$dir/system_bus_socket" ] && break; sleep 0.05; done
if [ ${#standin[@]} -gt 0 ]; then
  DBUS_SYSTEM_BUS_ADDRESS="$address" setsid "${standin[@]}" --ready-file "$dir/standin.ready" \
    </dev/null >"$dir/standin.log" 2>&1 &
  echo $! >"$dir/standin.pid"
  for _ in $(seq $((200 * ${ZORV_TEST_SLOWDOWN:-1}))); do [ -e "$dir/standin.ready" ] && break; sleep 0.05; done
  [ -e "$dir/standin.ready" ] || { echo "stand-in service did not start" >&2; cat "$dir/standin.log" >&2; exit 1; }
fi
echo "$address"
