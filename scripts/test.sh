#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: once in a normal
# build, once under AddressSanitizer and UndefinedBehaviorSanitizer, the tests
# that use threads under ThreadSanitizer, the fuzzers for a bounded time, and
# the Debian packages (as root: made in the normal tree, installed and removed
# again).
# Each tree is a preset of CMakePresets.json and builds only what it runs, in
# unity batches (a first build in about half the time); ccache keeps a second
# run short. Each GoogleTest case is a ctest case of its
# own; the last line counts the cases that ran, and the script fails when any
# case or any build failed.
set -uo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh || exit 1

jobs=$(nproc)
# run_preset NAME DIR [CMAKE-ARGS...]: configures, builds and tests the tree
# of the preset NAME, whose directory is DIR.
run_preset() {
  local preset=$1 dir=$2
  shift 2
  rm -f "$dir/junit.xml" "$dir/junit-package.xml"
  cmake --preset "$preset" "$@" >/dev/null &&
    cmake --build --preset "$preset" -j "$jobs" || { echo "build of $preset failed" >&2; return; }
  # A case that hangs fails after ten minutes instead of holding up the run.
  # The package check (label "package") installs the packages on this
  # machine: it runs after the other cases, never beside them. (grep -c, not
  # -q: ctest must not die of a closed pipe under pipefail.)
  ctest --preset "$preset" -j "$jobs" --timeout 600 -LE '^package$' --output-junit junit.xml
  if ctest --test-dir "$dir" -N -L '^package$' | grep -c 'Test *#' >/dev/null; then
    ctest --preset "$preset" -j "$jobs" --timeout 900 -L '^package$' --output-junit junit-package.xml
  fi
}

# As root the normal tree also makes the Debian packages (with the API
# reference) and checks them: installed, used and removed again. Without root
# that check is left out, and said so.
package_check=OFF
if [ "$(id -u)" = 0 ]; then package_check=ON; else echo "SKIPPED: the Debian package check needs root"; fi

echo "== tests (and, as root, the Debian packages)"
run_preset normal build -DZORV_PACKAGE_CHECK=$package_check -DZORV_BUILD_DOCS=$package_check
echo "== tests under AddressSanitizer and UndefinedBehaviorSanitizer"
run_preset asan build-asan
echo "== tests that use threads, under ThreadSanitizer"
run_preset tsan build-tsan
echo "== fuzzing"
run_preset fuzz build-fuzz -DZORV_FUZZ_SECONDS="${ZORV_FUZZ_SECONDS:-20}"

python3 scripts/test-summary.py build build-asan build-tsan build-fuzz
