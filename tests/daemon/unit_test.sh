#!/usr/bin/env bash
# unit_test.sh UNIT PROGRAM [UNIT PROGRAM]...: the systemd unit (and those it needs, after it) load without a complaint
# and rate an exposure of 4.0 or below; 77 (a skip) where systemd-analyze is missing.
set -uo pipefail
command -v systemd-analyze >/dev/null || { echo "systemd-analyze is missing"; exit 77; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# verify wants the program of ExecStart= to exist: the one just built stands in for the installed one.
copies=()
while (($# >= 2)); do
  copy=$work/$(basename "$1")
  sed -E "s|^ExecStart=/usr/s?bin/$(basename "$2")\b|ExecStart=$2|" "$1" >"$copy"
  copies+=("$copy")
  shift 2
done
status=0

# A misspelt option is only a warning to systemd, which then runs the service without it: any message fails.
complaints=$(systemd-analyze verify --man=no "${copies[@]}" 2>&1) || status=1
if [ -n "$complaints" ]; then
  echo "$complaints"
  status=1
fi

# The threshold is in tenths.
for copy in "${copies[@]}"; do
  rating=$(systemd-analyze security --offline=yes --threshold=40 "$copy" 2>&1) || {
    echo "$rating"
    echo "$(basename "$copy"): exposure above 4.0"
    status=1
  }
  grep 'Overall exposure' <<<"$rating"
done
exit $status
