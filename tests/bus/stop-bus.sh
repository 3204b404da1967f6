#!/usr/bin/env bash
# stop-bus.sh DIR: stops what start-bus.sh started in DIR.
dir=$1
# A process that has exited counts as gone even before its new parent reaps it.
alive() {
  local state
  state=$(sed -n 's/^State:[[:space:]]*\(.\).*/\1/p' "/proc/$1/status" 2>/dev/null)
  [ -n "$state" ] && [ "$state" != Z ]
}
for f in standin.pid bus.pid; do
  if [ -f "$dir/$f" ]; then
    pid=$(cat "$dir/$f")
    kill "$pid" 2>/dev/null && for _ in $(seq 100); do alive "$pid" || break; sleep 0.02; done
    kill -9 "$pid" 2>/dev/null
    rm -f "$dir/$f"
  fi
done
rm -f "$dir/system_bus_socket" "$dir/standin.ready"
exit 0
