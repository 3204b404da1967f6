#!/usr/bin/env bash
# Builds and runs every benchmark (each compares against its baseline in the
# same run), in a tree of its own (the "bench" preset, optimised). Extra
# arguments go to each benchmark program.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake --preset bench >/dev/null
cmake --build --preset bench -j "$(nproc)"
export ZORV_TEST_STANDIN=$PWD/build-bench/standin/zorv-labelmgr-standin
for b in $(find build-bench/bench -mindepth 2 -maxdepth 2 -type f -executable | sort); do
  echo "== $(basename "$b")"
  "$b" "$@"
done
