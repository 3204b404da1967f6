#!/usr/bin/env bash
# package-check.sh [STEP BUILD-DIR]: builds the Debian packages, checks them
# with lintian and against the library's symbols file, installs them with
# apt-get, uses what they installed and removes them again. Needs root and
# Debian's package registry; it changes the machine's installed packages while
# it runs.
#
# Without arguments it configures its own tree (build-package) and runs every
# step. A tree configured with -DZORV_PACKAGE_CHECK=ON (any prefix: cpack
# packages for /usr whatever the tree was configured with) runs the steps as
# ctest cases:
#   debs     cpack -G DEB into BUILD-DIR/packages (unless they are made of the
#            same files as before); every package is there, each binary's debug
#            information in its -dbgsym package
#   lintian  lintian -I --pedantic says nothing (what is accepted carries an
#            override that says why; packages that passed before pass again)
#   symbols  the library exports exactly what packaging/library/symbols lists,
#            and its shlibs asks for the newest version listed there
#   install  apt-get install ./*.deb
#   use      the installed tool, service, development files, examples,
#            completion, logging, Python module and dpkg hook work
#   remove   purging the service keeps the shared log; purging everything
#            leaves none of the packages' files behind
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
export DEBIAN_FRONTEND=noninteractive

apt_install() {
  apt-get install -y --no-install-recommends "$@" || { apt-get update && apt-get install -y --no-install-recommends "$@"; }
}

# The packages this tree makes (the API reference with -DZORV_BUILD_DOCS=ON).
set_packages() {
  packages=(libzorvlabelmgr1 libzorvlabelmgr-common libzorvlabelmgr-dev zorv-label zorv-labelmgrd python3-zorvlabelmgr)
  if grep -q '^ZORV_BUILD_DOCS:BOOL=ON' "$build/CMakeCache.txt"; then packages+=(libzorvlabelmgr-doc); fi
  with_binaries=(libzorvlabelmgr1 zorv-label zorv-labelmgrd python3-zorvlabelmgr)
  set_target_architecture
}

# set_target_architecture: in a tree built for another processor (the arm64
# tree) the packages are of that architecture, and the Python module is
# there only where it was built; dpkg's tools read their binaries with the
# target's objdump once DEB_HOST_ARCH names it.
set_target_architecture() {
  local arch
  arch=$(sed -n 's/^set(CPACK_ZORV_HOST_ARCH "\(.*\)")$/\1/p' "$build/CPackConfig.cmake")
  [ -n "$arch" ] || return 0
  export DEB_HOST_ARCH=$arch
  grep -q '^ZORV_BUILD_PYTHON:BOOL=ON' "$build/CMakeCache.txt" && return 0
  local p kept=()
  for p in "${packages[@]}"; do [ "$p" = python3-zorvlabelmgr ] || kept+=("$p"); done
  packages=("${kept[@]}")
  kept=()
  for p in "${with_binaries[@]}"; do [ "$p" = python3-zorvlabelmgr ] || kept+=("$p"); done
  with_binaries=("${kept[@]}")
}

# is_elf FILE: FILE starts with the ELF magic number.
is_elf() {
  local magic
  LC_ALL=C IFS= read -r -N 4 magic 2>/dev/null <"$1"
  [ "$magic" = $'\x7fELF' ]
}

# made_of: a checksum of what the packages are made of: every file the tree
# installs (staged as cpack stages it, under /usr) and the packaging's own
# files and settings.
made_of() {
  local stage
  stage=$(mktemp -d)
  DESTDIR=$stage cmake --install "$build" --prefix /usr >/dev/null || { rm -rf "$stage"; return 1; }
  {
    (cd "$stage" && find . -printf '%y %m %p %l\n' | LC_ALL=C sort &&
      find . -type f -print0 | LC_ALL=C sort -z | xargs -0 sha256sum)
    sha256sum "$build/CPackConfig.cmake"
    find "$root/packaging" -type f -print0 | LC_ALL=C sort -z | xargs -0 sha256sum
  } | sha256sum
  rm -rf "$stage"
}

step_debs() {
  # Packages made of the same files are made again only when something
  # changed, as ccache does for the objects.
  local key
  key=$(made_of) || key=""
  if [ -n "$key" ] && [ "$(cat "$build/packages/made-of" 2>/dev/null)" = "$key" ]; then
    echo "the packages are up to date: what they are made of has not changed"
  else
    rm -rf "$build/packages"
    (cd "$build" && cpack -G DEB -B "$build/packages" >/dev/null)
    rm -rf "$build/packages/_CPack_Packages"
    printf '%s\n' "$key" >"$build/packages/made-of"
  fi
  for p in "${packages[@]}"; do
    ls "$build/packages/${p}_"*.deb >/dev/null || { echo "no package $p" >&2; return 1; }
  done
  ls "$build/packages"

  # Every ELF file of a package is stripped, and its -dbgsym package holds
  # its debug information under its build id.
  local work status=0 p elf id
  work=$(mktemp -d)
  trap 'rm -rf "$work"; trap - RETURN' RETURN
  for p in "${with_binaries[@]}"; do
    dpkg-deb -x "$build/packages/${p}_"*.deb "$work/$p"
    dpkg-deb -x "$build/packages/${p}-dbgsym_"*.ddeb "$work/$p-dbgsym" || { echo "no package $p-dbgsym" >&2; status=1; continue; }
    while read -r elf; do
      is_elf "$elf" || continue
      id=$(readelf -n "$elf" | sed -n 's/.*Build ID: //p')
      local debug=$work/$p-dbgsym/usr/lib/debug/.build-id/${id:0:2}/${id:2}.debug
      if [ -z "$id" ]; then echo "${elf#"$work"/}: no build id" >&2; status=1; continue; fi
      if readelf -S "$elf" | grep -cE '\.debug_info|\.symtab' >/dev/null; then echo "${elf#"$work"/}: not stripped" >&2; status=1; fi
      if [ ! -f "$debug" ] || ! readelf -S "$debug" 2>/dev/null | grep -c '\.debug_info' >/dev/null; then
        echo "${elf#"$work"/}: no debug information in $p-dbgsym for build id $id" >&2; status=1
      fi
    done < <(find "$work/$p" -type f)
  done
  [ $status = 0 ] && echo "debug information of ${with_binaries[*]} in their -dbgsym packages"
  return $status
}

step_lintian() {
  command -v lintian >/dev/null || apt_install lintian
  # The same packages that passed the same lintian pass again: the verdict is
  # kept under their checksums.
  local key report
  key=$({ lintian --version && sha256sum "$build"/packages/*.deb "$build"/packages/*.ddeb; } | sha256sum)
  if [ "$(cat "$build/packages/lintian-passed" 2>/dev/null)" = "$key" ]; then
    echo "lintian -I --pedantic: nothing to report (these packages passed before)"
    return 0
  fi
  # Every tag shown fails the step, information and pedantic ones included;
  # lintian hides those that a package overrides (with its reason).
  report=$(lintian -I --pedantic --tag-display-limit 0 "$build"/packages/*.deb "$build"/packages/*.ddeb 2>&1 |
    grep -v 'running with root privileges' || true)
  if [ -n "$report" ]; then
    echo "$report"
    return 1
  fi
  printf '%s\n' "$key" >"$build/packages/lintian-passed"
  echo "lintian -I --pedantic: nothing to report"
}

step_symbols() {
  local work
  work=$(mktemp -d)
  trap 'rm -rf "$work"; trap - RETURN' RETURN
  dpkg-deb -x "$build/packages/libzorvlabelmgr1_"*.deb "$work/pkg"
  dpkg-deb -e "$build/packages/libzorvlabelmgr1_"*.deb "$work/control"
  cmp "$work/control/symbols" "$root/packaging/library/symbols"
  # -c4: any symbol added or gone is an error (scripts/update-symbols.sh
  # brings the file up to date).
  dpkg-gensymbols -plibzorvlabelmgr1 -v"$(dpkg-deb -f "$build/packages/libzorvlabelmgr1_"*.deb Version)" \
    -P"$work/pkg" -I"$root/packaging/library/symbols" -O"$work/symbols" -c4 ||
    { echo "the library's symbols and packaging/library/symbols disagree" >&2; return 1; }
  # Programs built without the symbols file get the version that brought
  # the newest symbol.
  local newest shlibs
  newest=$(awk '/^ /{print $2}' "$root/packaging/library/symbols" | sort -V | tail -n 1)
  shlibs=$(cat "$work/control/shlibs")
  [ "$shlibs" = "libzorvlabelmgr 1 libzorvlabelmgr1 (>= $newest)" ] ||
    { echo "shlibs says '$shlibs', the newest symbol is of $newest" >&2; return 1; }
  echo "symbols and shlibs agree with the library ($(grep -c '^ ' "$work/symbols") symbols, newest of $newest)"
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

# cmake_consumer DIR: a CMake project that builds the consumers against the
# installed package, as C++17 and as C++14 (one configuration for both).
cmake_consumer() {
  mkdir -p "$1"
  cat >"$1/CMakeLists.txt" <<CMAKE
cmake_minimum_required(VERSION 3.16)
project(consumer CXX)
find_package(zorvlabelmgr REQUIRED COMPONENTS proxy)
foreach(standard 17 14)
  add_executable(cxx-consumer-\${standard} $root/tests/install/consumer.cpp)
  target_link_libraries(cxx-consumer-\${standard} PRIVATE zorvlabelmgr::zorvlabelmgr)
  add_executable(proxy-consumer-\${standard} $root/tests/install/proxy_consumer.cpp)
  target_link_libraries(proxy-consumer-\${standard} PRIVATE zorvlabelmgr::proxy)
  set_target_properties(cxx-consumer-\${standard} proxy-consumer-\${standard} PROPERTIES CXX_STANDARD \${standard})
endforeach()
CMAKE
  cmake -S "$1" -B "$1/build" >/dev/null
  cmake --build "$1/build" -j "$(nproc)" >/dev/null
  local standard
  for standard in 17 14; do
    "$1/build/cxx-consumer-$standard"
    "$1/build/proxy-consumer-$standard"
  done
}

step_use() {
  zorv-label --help >/dev/null
  zorv-label --version
  zorv-labelmgrd --version
  for page in man1/zorv-label.1.gz man8/zorv-labelmgrd.8.gz; do
    gzip -t "/usr/share/man/$page"
  done
  test -f /usr/share/doc/zorv-label/labels.md

  work=$(mktemp -d)
  trap 'use_cleanup; trap - RETURN' RETURN
  # The programs below are compiled through ccache when it is there.
  if [ -d /usr/lib/ccache ]; then export PATH=/usr/lib/ccache:$PATH; fi

  # The library: Multi-Arch, ldconfig through the trigger alone, its logging
  # configuration and logrotate snippet from the common package.
  test "$(dpkg-query -W -f='${Multi-Arch}' libzorvlabelmgr1)" = same
  if compgen -G "/var/lib/dpkg/info/libzorvlabelmgr1:*.postinst" >/dev/null; then
    echo "libzorvlabelmgr1 has a postinst (ldconfig runs by its trigger)" >&2
    return 1
  fi
  grep -qx 'activate-noawait ldconfig' /var/lib/dpkg/info/libzorvlabelmgr1:*.triggers
  for f in /etc/zorv/label/zorv-label-log.properties /etc/logrotate.d/zorvlabelmgr; do
    test "$(dpkg-query -S "$f" | cut -d: -f1)" = libzorvlabelmgr-common
  done
  test -d /var/log/zorv
  command -v logrotate >/dev/null || apt_install logrotate
  logrotate --debug /etc/logrotate.d/zorvlabelmgr >"$work/logrotate.out" 2>&1 ||
    { cat "$work/logrotate.out"; return 1; }

  # The development files: a C program and a user of the dbus-c++ proxy
  # through pkg-config (which names /usr), a C++ program and the proxy user
  # through find_package, also from a C++14 project. (That each header
  # compiles alone is the tree's install_headers_test.)
  test "$(pkg-config --variable=prefix zorvlabelmgr)" = /usr
  test -z "$(pkg-config --cflags zorvlabelmgr)"
  cc -std=c99 -pedantic -Wall -Wextra -Werror "$root/tests/install/consumer.c" -o "$work/c-consumer" \
    $(pkg-config --cflags --libs zorvlabelmgr)
  "$work/c-consumer"
  c++ -std=c++17 "$root/tests/install/proxy_consumer.cpp" -o "$work/proxy-consumer" \
    $(pkg-config --cflags --libs zorvlabelmgr-proxy)
  "$work/proxy-consumer"
  cmake_consumer "$work/cmake-consumer"
  # A program built against this package asks for the library by the
  # symbols file: any later 1.x will do.
  mkdir -p "$work/shlibdeps/debian"
  printf 'Source: consumer\n\nPackage: consumer\nArchitecture: any\n' >"$work/shlibdeps/debian/control"
  (cd "$work/shlibdeps" && dpkg-shlibdeps -O "$work/c-consumer") | tee "$work/shlibdeps.out"
  grep -qE 'libzorvlabelmgr1 \(>= 1\.0\.0\)' "$work/shlibdeps.out"

  # The examples, as installed, with their own CMake project and Makefile.
  local examples=/usr/share/doc/libzorvlabelmgr-dev/examples
  cp -r "$examples" "$work/examples"
  cmake -S "$work/examples" -B "$work/examples/build" >/dev/null
  cmake --build "$work/examples/build" >/dev/null
  make -C "$work/examples" >/dev/null

  # The shell completion of the tool, as far as the tree has it.
  if [ -f "$root/tools/completion/zorv-label.bash" ]; then
    bash -c 'source /usr/share/bash-completion/completions/zorv-label && complete -p zorv-label' >/dev/null
  else
    echo "SKIPPED: no bash completion in tools/completion"
  fi
  if [ -f "$root/tools/completion/_zorv-label" ]; then
    test -f /usr/share/zsh/vendor-completions/_zorv-label
    if command -v zsh >/dev/null; then zsh -n /usr/share/zsh/vendor-completions/_zorv-label; fi
  else
    echo "SKIPPED: no zsh completion in tools/completion"
  fi
  if [[ " ${packages[*]} " == *" libzorvlabelmgr-doc "* ]]; then
    test -f /usr/share/doc/libzorvlabelmgr-doc/html/index.html
  fi

  # The installed service on a private bus, and the installed tool and
  # examples against it.
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
  # Without --change the examples only read: the records are as they were.
  local before
  before=$(zorv-label --json show tid; zorv-label --json show oid)
  "$work/examples/build/labels_c" /usr/bin/true
  "$work/examples/labels_cxx" /usr/bin/true
  test "$before" = "$(zorv-label --json show tid; zorv-label --json show oid)"
  "$work/examples/build/labels_c" --change /usr/bin/true >/dev/null
  # The Python module from a clean interpreter (no PYTHONPATH, no user site).
  /usr/bin/python3 -I -c 'import zorvlabelmgr as z; assert z.get_file_tid("/usr/bin/true") == 5'
  use_dpkg_hook "$work"
  echo "installed library, tool, service, development files, examples and Python module work"
}

# use_dpkg_hook WORK: the dpkg hook against the private service of step_use
# (DBUS_SYSTEM_BUS_ADDRESS): a tiny package installed with dpkg -i has its
# files recorded and labelled, and removed with dpkg -r has them dropped. The
# host's own packages are recorded first without writing their labels.
use_dpkg_hook() {
  local work=$1 deb=$1/zorv-hook-probe state=/var/lib/zorv/sync-packages.state
  test "$(dpkg-query -S /etc/dpkg/dpkg.cfg.d/zorv-label | cut -d: -f1)" = zorv-label
  rm -f "$state"
  # A host package that cannot be labelled is reported and does not matter here.
  zorv-label sync-packages --no-restore >/dev/null || true
  mkdir -p "$deb/DEBIAN" "$deb/usr/share/zorv-hook-probe"
  printf 'probe\n' >"$deb/usr/share/zorv-hook-probe/data"
  printf '%s\n' 'Package: zorv-hook-probe' 'Version: 1.0' 'Architecture: all' \
    'Maintainer: zorv label manager team <zorv-labelmgr@nimbo.com>' 'Description: probe of the dpkg hook' \
    >"$deb/DEBIAN/control"
  dpkg-deb --root-owner-group -b "$deb" "$work/probe.deb" >/dev/null
  dpkg -i "$work/probe.deb" >"$work/hook.out" 2>&1 || { cat "$work/hook.out"; return 1; }
  grep -q 'labelled 2 files of zorv-hook-probe 1.0' "$work/hook.out" || { cat "$work/hook.out"; return 1; }
  zorv-label packages zorv-hook-probe | grep -qx /usr/share/zorv-hook-probe/data
  zorv-label verify /usr/share/zorv-hook-probe/data
  zorv-label --json sync-packages >"$work/sync.json" || true
  grep -q '"labelled": \[\]' "$work/sync.json"
  dpkg -r zorv-hook-probe >"$work/hook.out" 2>&1 || { cat "$work/hook.out"; return 1; }
  grep -q 'dropped the files of zorv-hook-probe' "$work/hook.out" || { cat "$work/hook.out"; return 1; }
  test -z "$(zorv-label packages zorv-hook-probe)"
  # With the service gone, a dpkg run still succeeds and the hook says nothing.
  DBUS_SYSTEM_BUS_ADDRESS=unix:path=$work/no-bus dpkg -i "$work/probe.deb" >"$work/hook.out" 2>&1
  ! grep -q zorv-label "$work/hook.out" || { cat "$work/hook.out"; return 1; }
  DBUS_SYSTEM_BUS_ADDRESS=unix:path=$work/no-bus dpkg -P zorv-hook-probe >/dev/null
  rm -f "$state"
  echo "the dpkg hook labels an installed package and drops a removed one"
}

step_remove() {
  local left=0
  # The log is every library user's: purging the service keeps it.
  mkdir -p /var/log/zorv
  [ -e /var/log/zorv/zorv_label_manager.log ] || touch /var/log/zorv/zorv_label_manager.log
  apt-get purge -y zorv-labelmgrd
  [ -e /var/log/zorv/zorv_label_manager.log ] || { echo "purging zorv-labelmgrd removed the shared log" >&2; left=1; }

  apt-get purge -y "${packages[@]}"
  for p in "${packages[@]}"; do
    if dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q "installed"; then
      echo "$p is still installed" >&2
      left=1
    fi
  done
  # /var/log/zorv is not looked for: any program that uses the library
  # without its configuration makes it again for the fallback log (the tests
  # running beside this check do).
  for f in /usr/bin/zorv-label /usr/sbin/zorv-labelmgrd /usr/include/zorv /etc/zorv/label/zorv-label-log.properties \
    /etc/logrotate.d/zorvlabelmgr /usr/share/dbus-1/system.d/com.nimbo.zorv.labelmgr.conf \
    /usr/lib/python3/dist-packages/zorvlabelmgr /usr/share/doc/libzorvlabelmgr-dev \
    /usr/share/bash-completion/completions/zorv-label /usr/share/zsh/vendor-completions/_zorv-label \
    /etc/dpkg/dpkg.cfg.d/zorv-label /usr/libexec/zorv-label /var/lib/zorv/sync-packages.state; do
    [ -e "$f" ] && { echo "$f is left behind" >&2; left=1; }
  done
  if compgen -G "/usr/lib/*/libzorvlabelmgr.so*" >/dev/null; then echo "the library is left behind" >&2; left=1; fi
  return $left
}

if [ $# -ge 2 ]; then
  build=$(cd "$2" && pwd)
  set_packages
  "step_$1"
  exit
fi

build=$root/build-package
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZORV_BUILD_DOCS=ON \
  -DZORV_BUILD_TESTS=OFF -DZORV_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j "$(nproc)"
set_packages
step_debs
step_lintian
step_symbols
step_install
trap step_remove EXIT
step_use
