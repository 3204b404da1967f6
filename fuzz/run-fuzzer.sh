#!/usr/bin/env bash
# run-fuzzer.sh FUZZER SEEDS SECONDS: fuzzes from a scratch copy of the seeds, keeping findings out of the sources.
set -euo pipefail
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp -r "$2/." "$work/" 2>/dev/null || true
cd "$work"
exec "$1" -max_total_time="$3" -print_final_stats=1 "$work"
