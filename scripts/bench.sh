#!/usr/bin/env bash
# Builds and runs every benchmark (each compares against its baseline in the
# same run). Extra arguments go to each benchmark program.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DZORV_BUILD_BENCH=ON >/dev/null
cmake --build build -j "$(nproc)"
export ZORV_TEST_STANDIN=$PWD/build/standin/zorv-labelmgr-standin
for b in $(find build/bench -mindepth 2 -maxdepth 2 -type f -executable | sort); do
  echo "== $(basename "$b")"
  "$b" "$@"
done
