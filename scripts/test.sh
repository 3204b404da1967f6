#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: once in a normal
# build, once under AddressSanitizer and UndefinedBehaviorSanitizer, the tests
# that use threads under ThreadSanitizer, the fuzzers for a bounded time, and
# the Debian packages (as root: they are installed and removed again).
# Each GoogleTest case is a ctest case of its own; the last line counts the
# cases that ran, and the script fails when any case or any build failed.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
scripts/deps.sh || exit 1

jobs=$(nproc)
# run_suite DIR "CTEST ARGS" CMAKE-ARGS...: builds in DIR and runs its tests.
run_suite() {
  local dir=$1 ctest_args=$2; shift 2
  rm -f "$dir/junit.xml"
  cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null &&
    cmake --build "$dir" -j "$jobs" || { echo "build in $dir failed" >&2; return; }
  # shellcheck disable=SC2086
  (cd "$dir" && ctest --output-on-failure -j "$jobs" --output-junit junit.xml $ctest_args)
}

echo "== tests"
run_suite build ""

echo "== tests under AddressSanitizer and UndefinedBehaviorSanitizer"
(
  # libdbus has no frame pointers: without the slow unwinder the leak
  # suppression cannot see which call opened a connection.
  export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:fast_unwind_on_malloc=0
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
  export LSAN_OPTIONS=suppressions=$root/tests/lsan.supp:print_suppressions=0
  run_suite build-asan "" -DZORV_SANITIZE=address -DZORV_BUILD_BENCH=OFF
)

echo "== tests that use threads, under ThreadSanitizer"
(
  export TSAN_OPTIONS="suppressions=$root/tests/tsan.supp halt_on_error=1 second_deadlock_stack=1"
  run_suite build-tsan "-L threads" -DZORV_SANITIZE=thread -DZORV_BUILD_BENCH=OFF
)

echo "== fuzzing"
(
  export CC=clang CXX=clang++
  run_suite build-fuzz "" -DZORV_BUILD_FUZZ=ON -DZORV_BUILD_TESTS=OFF -DZORV_BUILD_BENCH=OFF \
    -DZORV_FUZZ_SECONDS="${ZORV_FUZZ_SECONDS:-20}"
)

echo "== Debian packages: built, checked with lintian, installed, used and removed"
# A tree of its own, configured with the default prefix: cpack makes the same
# packages for /usr whatever the prefix, which is part of what is checked.
run_suite build-package "" -DZORV_PACKAGE_CHECK=ON -DZORV_BUILD_DOCS=ON \
  -DZORV_BUILD_TESTS=OFF -DZORV_BUILD_BENCH=OFF

python3 scripts/test-summary.py build build-asan build-tsan build-fuzz build-package
