#!/usr/bin/env bash
# headers_test.sh HEADER-DIR [BUILD-DIR]: each public header compiles alone, first, as C++17 (C headers as C99 too),
# warnings as errors, with the pkg-config flags of BUILD-DIR installed into a scratch prefix, else of the packages.
set -euo pipefail
headers=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
if [ $# -ge 2 ]; then
  cmake --install "$2" --prefix "$work/prefix" >/dev/null
  PKG_CONFIG_PATH=$(dirname "$(find "$work/prefix" -name zorvlabelmgr.pc | head -n 1)")
  export PKG_CONFIG_PATH
fi
CXX=${CXX:-c++}
CC=${CC:-cc}

# Our include directory stays -I, held to the warnings; others (dbus-c++'s has warnings of its own) are system ones.
flags() {
  for f in $(pkg-config --cflags "$1"); do
    case $f in
      -I*) if [ -e "${f#-I}/zorv/labelmgr.h" ]; then echo "$f"; else echo "-isystem ${f#-I}"; fi ;;
      *) echo "$f" ;;
    esac
  done
}
plain=$(flags zorvlabelmgr)
proxy=$(flags zorvlabelmgr-proxy)

failed=0
check() {  # check NAME STANDARD CFLAGS SOURCE
  local name=$1 std=$2 cflags=$3 source=$4 compiler=$CXX language=c++
  [ "$std" = c99 ] && compiler=$CC language=c
  # shellcheck disable=SC2086
  if ! printf '%s\n' "$source" | $compiler -x $language -std=$std -Wall -Wextra -pedantic -Werror -fsyntax-only \
    $cflags - 2>"$work/err"; then
    echo "FAILED: $name"; sed 's/^/  /' "$work/err"; failed=$((failed + 1))
  fi
}

count=0
for path in "$headers"/*.h "$headers"/*.hpp; do
  header=$(basename "$path")
  cflags=$plain
  [ "$header" = proxy.hpp ] && cflags=$proxy
  # Twice, so that a missing include guard shows; the typedef keeps a C unit from declaring nothing.
  source="#include <zorv/$header>
#include <zorv/$header>
typedef int included;"
  check "$header alone (C++17)" c++17 "$cflags" "$source"
  count=$((count + 1))
  if [[ $header == *.h ]]; then
    check "$header alone (C99)" c99 "$cflags" "$source"
    count=$((count + 1))
  fi
done

# The umbrella header offers the proxy to callers that include dbus-c++ first, and pulls it into no one else.
check "labelmgr.hpp without dbus-c++" c++17 "$plain" "#include <zorv/labelmgr.hpp>
#ifdef __DBUSXX_DBUS_H
#error labelmgr.hpp pulled dbus-c++ in
#endif
#if __has_include(<dbus-c++/dbus.h>)
#error dbus-c++ is on the include path of callers that did not ask for it
#endif"
check "labelmgr.hpp after dbus-c++" c++17 "$proxy" "#include <dbus-c++/dbus.h>
#include <zorv/labelmgr.hpp>
static_assert(sizeof(LabelMgrClient) > 0, \"\");"
count=$((count + 2))

echo "$((count - failed)) passed, $failed failed"
[ "$failed" -eq 0 ]
