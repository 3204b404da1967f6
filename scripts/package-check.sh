#!/usr/bin/env bash
# package-check.sh [STEP BUILD-DIR]: builds the Debian packages, checks them
# with lintian, installs them with apt-get, uses what they installed and
# removes them again. Needs root and Debian's package registry; it changes the
# machine's installed packages while it runs.
#
# Without arguments it configures its own tree (build-package) and runs every
# step. A tree configured with -DZORV_PACKAGE_CHECK=ON (and
# -DCMAKE_INSTALL_PREFIX=/usr) runs the steps as ctest cases:
#   debs     cpack -G DEB into BUILD-DIR/packages
#   lintian  no lintian errors, no binary without hardening
#   install  apt-get install ./*.deb
#   use      the installed tool, service, manual pages, development files and Python module work
#   remove   apt-get purge leaves none of their files behind
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
packages=(libzorvlabelmgr1 libzorvlabelmgr-dev zorv-label zorv-labelmgrd python3-zorvlabelmgr)
export DEBIAN_FRONTEND=noninteractive

apt_install() {
  apt-get install -y --no-install-recommends "$@" || { apt-get update && apt-get install -y --no-install-recommends "$@"; }
}

step_debs() {
  rm -rf "$build/packages"
  (cd "$build" && cpack -G DEB -B "$build/packages" >/dev/null)
  rm -rf "$build/packages/_CPack_Packages"
  for p in "${packages[@]}"; do
    ls "$build/packages/${p}_"*.deb >/dev/null || { echo "no package $p" >&2; return 1; }
  done
  ls "$build/packages"
}

step_lintian() {
  command -v lintian >/dev/null || apt_install lintian
  # Errors fail the step; warnings and information are shown. Lintian tells
  # of binaries built without the hardening flags as information only: here
  # that fails too.
  local report status=0
  report=$(lintian --fail-on error --display-info --tag-display-limit 0 "$build"/packages/*.deb 2>&1) || status=1
  echo "$report"
  if grep -E '^[EWI]: [^ ]+: hardening-' <<<"$report" >&2; then
    echo "binaries built without hardening" >&2
    status=1
  fi
  return $status
}

step_install() {
  apt_install "$build"/packages/*.deb
  for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}\n' "$p" | grep -q "install ok installed"
  done
}

use_cleanup() {
  [ -f "$work/daemon.pid" ] && kill "$(cat "$work/daemon.pid")" 2>/dev/null || true
  "$root/tests/bus/stop-bus.sh" "$work/bus" 2>/dev/null || true
  rm -rf "$work"
  unset DBUS_SYSTEM_BUS_ADDRESS
}

step_use() {
  zorv-label --help >/dev/null
  zorv-label --version
  zorv-labelmgrd --version
  for page in man1/zorv-label.1.gz man8/zorv-labelmgrd.8.gz; do
    gzip -t "/usr/share/man/$page"
  done
  test -f /etc/zorv/label/zorv-label-log.properties

  work=$(mktemp -d)
  trap 'use_cleanup; trap - RETURN' RETURN

  # The development files: every header alone, a C program and a user of the
  # dbus-c++ proxy through pkg-config, a C++ program and the proxy user
  # through find_package.
  "$root/tests/install/headers_test.sh" "$root/include/zorv"
  cc -std=c99 -Wall -Werror "$root/tests/install/consumer.c" -o "$work/c-consumer" \
    $(pkg-config --cflags --libs zorvlabelmgr)
  "$work/c-consumer"
  c++ -std=c++17 "$root/tests/install/proxy_consumer.cpp" -o "$work/proxy-consumer" \
    $(pkg-config --cflags --libs zorvlabelmgr-proxy)
  "$work/proxy-consumer"
  mkdir "$work/cxx"
  cat >"$work/cxx/CMakeLists.txt" <<CMAKE
cmake_minimum_required(VERSION 3.16)
project(consumer CXX)
set(CMAKE_CXX_STANDARD 17)
find_package(zorvlabelmgr REQUIRED COMPONENTS proxy)
add_executable(cxx-consumer $root/tests/install/consumer.cpp)
target_link_libraries(cxx-consumer PRIVATE zorvlabelmgr::zorvlabelmgr)
add_executable(proxy-consumer $root/tests/install/proxy_consumer.cpp)
target_link_libraries(proxy-consumer PRIVATE zorvlabelmgr::proxy)
CMAKE
  cmake -S "$work/cxx" -B "$work/cxx/build" >/dev/null
  cmake --build "$work/cxx/build" >/dev/null
  "$work/cxx/build/cxx-consumer"
  "$work/cxx/build/proxy-consumer"

  # The installed service on a private bus, and the installed tool against it.
  local address
  address=$("$root/tests/bus/start-bus.sh" "$work/bus")
  zorv-labelmgrd --address "$address" --db "$work/labels.db" --notify-endpoint "ipc://$work/notify.socket" \
    >"$work/daemon.log" 2>&1 &
  echo $! >"$work/daemon.pid"
  export DBUS_SYSTEM_BUS_ADDRESS=$address
  for _ in $(seq 100); do zorv-label status >/dev/null 2>&1 && break; sleep 0.1; done
  zorv-label set tid /usr/bin/true 5
  test "$(zorv-label get tid /usr/bin/true)" = 5
  zorv-label --json show tid | grep -q '"tid": 5'
  # The Python module from a clean interpreter (no PYTHONPATH, no user site).
  /usr/bin/python3 -I -c 'import zorvlabelmgr as z; assert z.get_file_tid("/usr/bin/true") == 5'
  echo "installed tool, service, development files and Python module work"
}

step_remove() {
  apt-get purge -y "${packages[@]}"
  local left=0
  for p in "${packages[@]}"; do
    if dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q "installed"; then
      echo "$p is still installed" >&2
      left=1
    fi
  done
  for f in /usr/bin/zorv-label /usr/sbin/zorv-labelmgrd /usr/include/zorv /etc/zorv/label/zorv-label-log.properties \
    /usr/share/dbus-1/system.d/com.nimbo.zorv.labelmgr.conf /usr/lib/python3/dist-packages/zorvlabelmgr; do
    [ -e "$f" ] && { echo "$f is left behind" >&2; left=1; }
  done
  if compgen -G "/usr/lib/*/libzorvlabelmgr.so*" >/dev/null; then echo "the library is left behind" >&2; left=1; fi
  return $left
}

if [ $# -ge 2 ]; then
  build=$(cd "$2" && pwd)
  "step_$1"
  exit
fi

build=$root/build-package
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
  -DZORV_BUILD_TESTS=OFF -DZORV_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j "$(nproc)"
step_debs
step_lintian
step_install
trap step_remove EXIT
step_use
