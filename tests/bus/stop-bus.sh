#!/usr/bin/env bash
# stop-bus.sh DIR: stops what start-bus.sh started in DIR.
dir=$1
for f in standin.pid bus.pid; do
  if [ -f "$dir/$f" ]; then
    pid=$(cat "$dir/$f")
    # Gone once it has exited, even before its new parent reaps the zombie.
    kill "$pid" 2>/dev/null && for _ in $(seq 100); do
      grep -qs '^State:[[:space:]]*[^Z[:space:]]' "/proc/$pid/status" || break; sleep 0.02
    done
    kill -9 "$pid" 2>/dev/null
    rm -f "$dir/$f"
  fi
done
rm -f "$dir/system_bus_socket" "$dir/standin.ready"
exit 0
