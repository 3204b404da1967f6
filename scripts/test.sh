#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: once in a normal
# build, once under AddressSanitizer and UndefinedBehaviorSanitizer together
# with the fuzzers (for a bounded time), the tests that use threads under
# ThreadSanitizer, and the Debian packages (as root: made in the normal tree,
# installed and removed again).
#
# Each tree is a preset of CMakePresets.json and builds only what it runs;
# ccache keeps a second run short. While one tree's cases run, the next
# trees build at a lower priority: the cases mostly wait on buses and
# services, and a two-core machine would otherwise idle through them. Cases
# of two trees never run at once, and the package check (which installs the
# packages on this machine) runs beside no other case.
#
# Each GoogleTest case is a ctest case of its own; the last line counts the
# cases that ran, and the script fails when any case or any build failed.
set -uo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh || exit 1

jobs=$(nproc)
logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT

# As root the normal tree also makes the Debian packages (with the API
# reference) and checks them: installed, used and removed again. Without root
# that check is left out, and said so.
package_check=OFF
if [ "$(id -u)" = 0 ]; then package_check=ON; else echo "SKIPPED: the Debian package check needs root"; fi

configure() {
  rm -f "$2/junit.xml" "$2/junit-package.xml"
  cmake --preset "$1" "${@:3}" >/dev/null || { echo "configure of $1 failed" >&2; return 1; }
}
build() {
  cmake --build --preset "$1" -j "$jobs" || { echo "build of $1 failed" >&2; return 1; }
}
# cases PRESET [CTEST-ARGS...]: a case that hangs fails after ten minutes
# instead of holding up the run.
cases() {
  ctest --preset "$1" -j "$jobs" --timeout 600 "${@:2}"
}
# built PRESET: waits for the background build of PRESET, shows its output,
# and fails if it failed.
built() {
  while [ ! -e "$logs/$1.status" ]; do
    kill -0 "$builder" 2>/dev/null || { echo "the build of $1 never finished" >&2; return 1; }
    sleep 1
  done
  cat "$logs/$1.log"
  [ "$(cat "$logs/$1.status")" = 0 ] || { echo "build of $1 failed" >&2; return 1; }
}

echo "== configuring the trees"
configure normal build -DZORV_PACKAGE_CHECK=$package_check -DZORV_BUILD_DOCS=$package_check &&
  configure asan build-asan -DZORV_FUZZ_SECONDS="${ZORV_FUZZ_SECONDS:-10}" &&
  configure tsan build-tsan || exit 1

echo "== building the normal tree"
build normal || exit 1

# The sanitizer trees build one after the other, behind the cases.
(
  for preset in asan tsan; do
    nice -n 10 cmake --build --preset "$preset" -j "$jobs" >"$logs/$preset.log" 2>&1
    echo $? >"$logs/$preset.status"
  done
) &
builder=$!

echo "== tests"
cases normal -LE '^package$' --output-junit junit.xml
# grep -c, not -q: ctest must not die of a closed pipe under pipefail.
if ctest --test-dir build -N -L '^package$' | grep -c 'Test *#' >/dev/null; then
  echo "== the Debian packages"
  cases normal -L '^package$' --output-junit junit-package.xml
fi
echo "== tests and fuzzers under AddressSanitizer and UndefinedBehaviorSanitizer"
built asan && cases asan --output-junit junit.xml
echo "== tests that use threads, under ThreadSanitizer"
built tsan && cases tsan --output-junit junit.xml
wait

python3 scripts/test-summary.py build build-asan build-tsan
