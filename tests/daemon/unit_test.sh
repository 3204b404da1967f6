#!/usr/bin/env bash
# unit_test.sh UNIT DAEMON: the service's systemd unit loads without a
# complaint from systemd-analyze, and its exposure rating is 4.0 or below.
# Exit status 77 (a skip) where systemd-analyze is missing.
set -uo pipefail
unit=$1
daemon=$2
command -v systemd-analyze >/dev/null || { echo "systemd-analyze is missing"; exit 77; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# verify wants the program of ExecStart= to exist: the one just built stands
# in for the installed one.
copy=$work/$(basename "$unit")
sed "s|^ExecStart=/usr/sbin/zorv-labelmgrd\b|ExecStart=$daemon|" "$unit" >"$copy"
status=0

# A misspelt or unknown option is only a warning to systemd, which then runs
# the service without it: any message fails.
complaints=$(systemd-analyze verify --man=no "$copy" 2>&1) || status=1
if [ -n "$complaints" ]; then
  echo "$complaints"
  status=1
fi

# The threshold is in tenths.
rating=$(systemd-analyze security --offline=yes --threshold=40 "$copy" 2>&1) || {
  echo "$rating"
  echo "exposure above 4.0"
  status=1
}
grep 'Overall exposure' <<<"$rating"
exit $status
