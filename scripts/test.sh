#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: once in a normal build,
# once under AddressSanitizer and UndefinedBehaviorSanitizer, then the fuzzers
# for a bounded time.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
scripts/deps.sh

jobs=$(nproc)
passed=0
run_suite() {  # build-dir, extra cmake args...
  local dir=$1; shift
  cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
  (cd "$dir" && ctest --output-on-failure -j "$jobs")
  passed=$((passed + $(cd "$dir" && ctest -N | sed -n 's/^Total Tests: //p')))
}

echo "== tests"
run_suite build

echo "== tests under AddressSanitizer and UndefinedBehaviorSanitizer"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export LSAN_OPTIONS=suppressions=$root/tests/lsan.supp:print_suppressions=0
run_suite build-asan -DZORV_SANITIZE=ON -DZORV_BUILD_BENCH=OFF

if [ -f fuzz/CMakeLists.txt ]; then
  echo "== fuzzing"
  CC=clang CXX=clang++ cmake -S "$root" -B build-fuzz -DZORV_BUILD_FUZZ=ON -DZORV_BUILD_TESTS=OFF \
    -DZORV_BUILD_BENCH=OFF >/dev/null
  cmake --build build-fuzz -j "$jobs"
  for target in build-fuzz/fuzz/fuzz_*; do
    [ -x "$target" ] || continue
    name=$(basename "$target"); name=${name#fuzz_}
    work=$(mktemp -d)
    cp -r "fuzz/corpus/$name/." "$work/" 2>/dev/null || true
    echo "-- $name"
    "$target" -max_total_time="${ZORV_FUZZ_SECONDS:-20}" -print_final_stats=0 "$work" 2>&1 | tail -n 3
    rm -rf "$work"
    passed=$((passed + 1))
  done
fi

# Any failure has stopped the script before this line.
echo "summary: $passed passed, 0 failed"
