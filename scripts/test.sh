#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: once in a normal
# build, once under AddressSanitizer and UndefinedBehaviorSanitizer together
# with the fuzzers (for a bounded time), the tests that use threads under
# ThreadSanitizer, and the Debian packages (as root: made in the normal tree,
# installed and removed again).
#
# Each tree is a preset of CMakePresets.json and builds only what it runs;
# ccache keeps a second run short. The trees do not take turns, so that no
# core idles while cases wait on buses, services and child processes: once
# the normal tree is built its cases run while the sanitizer trees build
# behind them at a lower priority; the ASan tree's cases start as soon as it
# is built, the TSan tree's once it is built and those are over. Each tree's
# output is shown whole when its cases end.
#
# Then the arm64 tree: cross-built for 64-bit ARM against a sysroot of
# Debian's arm64 packages (scripts/arm64-sysroot.sh, made beside the native
# lanes), its cases and the programs they start run under qemu-user; it
# waits for the native lanes, so that it does not slow them down.
# ZORV_ARM64=0 leaves it out, and says so.
#
# Each GoogleTest case is a ctest case of its own; the last lines count the
# cases that ran in each lane and in all, and the script fails when any case
# or any build failed.
set -uo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh || exit 1
arm64=${ZORV_ARM64:-1}
[ "$arm64" = 0 ] && echo "SKIPPED: the arm64 lane (ZORV_ARM64=0)"

jobs=$(nproc)
logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT

# As root the normal tree also makes the Debian packages (with the API
# reference) and checks them: installed, used and removed again. Without root
# that check is left out, and said so.
package_check=OFF
if [ "$(id -u)" = 0 ]; then package_check=ON; else echo "SKIPPED: the Debian package check needs root"; fi

# configure PRESET [CMAKE-ARGS...]: configures the tree, unless this script
# was the last to configure it, with the same arguments and presets. (The
# build configures again by itself when a CMakeLists.txt changed; configuring
# with nothing changed would rebuild much, as CMake orders pkg-config's flags
# differently the second time.)
configure() {
  local dir stamp
  dir=$(preset_dir "$1")
  stamp="$* $(sha1sum CMakePresets.json)"
  rm -f "$dir/junit.xml"
  [ -f "$dir/build.ninja" ] && [ "$dir/zorv-configured" -nt "$dir/CMakeCache.txt" ] &&
    [ "$(cat "$dir/zorv-configured")" = "$stamp" ] && return 0
  cmake --preset "$1" "${@:2}" >/dev/null || { echo "configure of $1 failed" >&2; return 1; }
  printf '%s' "$stamp" >"$dir/zorv-configured"
}
preset_dir() { case $1 in normal) echo build ;; *) echo "build-$1" ;; esac; }
# cases PRESET: every case of the tree, as many at a time as there are
# cores; one that hangs fails after ten minutes instead of holding up the run.
cases() {
  ctest --preset "$1" -j "$jobs" --timeout 600 --output-junit junit.xml
}
# finished STEP PID: waits until the job PID has said how STEP ended, and
# fails if STEP failed.
finished() {
  while [ ! -e "$logs/$1.status" ]; do
    kill -0 "$2" 2>/dev/null || [ -e "$logs/$1.status" ] || { echo "$1 never finished" >&2; return 1; }
    sleep 1
  done
  [ "$(cat "$logs/$1.status")" = 0 ] || { echo "$1 failed" >&2; return 1; }
}

# The sanitizer trees are configured beside the normal tree's build (a
# configuration keeps one core busy for seconds). Each fuzzer runs for
# ZORV_FUZZ_SECONDS, 5 by default.
{ configure asan -DZORV_FUZZ_SECONDS="${ZORV_FUZZ_SECONDS:-5}"; echo $? >"$logs/configure-asan.status"; } \
  >"$logs/configure-asan.log" 2>&1 &
configure_asan=$!
{ configure tsan; echo $? >"$logs/configure-tsan.status"; } >"$logs/configure-tsan.log" 2>&1 &
configure_tsan=$!

if [ "$arm64" != 0 ]; then
  { scripts/arm64-sysroot.sh; echo $? >"$logs/sysroot-arm64.status"; } >"$logs/sysroot-arm64.log" 2>&1 &
  sysroot_arm64=$!
fi

echo "== the normal tree (and, as root, the Debian packages)"
configure normal -DZORV_PACKAGE_CHECK=$package_check -DZORV_BUILD_DOCS=$package_check &&
  cmake --build --preset normal -j "$jobs" || { echo "build of normal failed" >&2; exit 1; }

# The sanitizer trees build one after the other behind the cases, at a lower
# priority than those.
(
  for preset in asan tsan; do
    pid=$configure_asan
    [ $preset = tsan ] && pid=$configure_tsan
    { finished configure-$preset "$pid" && cat "$logs/configure-$preset.log" &&
      nice -n 10 cmake --build --preset $preset -j "$jobs"; } >"$logs/build-$preset.log" 2>&1
    echo $? >"$logs/build-$preset.status"
  done
) &
builder=$!

cases normal >"$logs/normal.log" 2>&1 &
normal=$!
# lane PRESET [AFTER PID]: shows the build of PRESET once it is over, then
# runs its cases, once the lane AFTER (job PID) has run its own.
lane() {
  finished build-$1 "$builder"
  local status=$?
  cat "$logs/build-$1.log"
  while [ -n "${2:-}" ] && [ ! -e "$logs/$2.done" ] && kill -0 "$3" 2>/dev/null; do sleep 1; done
  [ $status = 0 ] && cases "$1"
  local ran=$?
  touch "$logs/$1.done"
  return $ran
}
lane asan >"$logs/asan.log" 2>&1 &
asan=$!
# The threaded cases wait for those under ASan: the heaviest cases of both
# sanitizers at once, beside the normal tree's, would hold a call of the
# service past its time limit on two cores.
lane tsan asan $asan >"$logs/tsan.log" 2>&1 &
tsan=$!

wait $normal; cat "$logs/normal.log"
echo "== tests and fuzzers under AddressSanitizer and UndefinedBehaviorSanitizer"
wait $asan; cat "$logs/asan.log"
echo "== tests that use threads, under ThreadSanitizer"
wait $tsan; cat "$logs/tsan.log"
wait

lanes=(normal=build asan=build-asan tsan=build-tsan)
if [ "$arm64" != 0 ]; then
  echo "== the arm64 tree, cross-built and run under qemu-user"
  lanes+=(arm64=build-arm64)
  started=$SECONDS
  rm -f build-arm64/junit.xml
  {
    finished sysroot-arm64 "$sysroot_arm64"
    status=$?
    cat "$logs/sysroot-arm64.log"
    [ $status = 0 ] && configure arm64 -DZORV_PACKAGE_CHECK=$package_check &&
      cmake --build --preset arm64 -j "$jobs" && cases arm64
  } >"$logs/arm64.log" 2>&1
  cat "$logs/arm64.log"
  echo "the arm64 lane took $((SECONDS - started)) s"
fi

python3 scripts/test-summary.py "${lanes[@]}"
