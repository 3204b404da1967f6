#!/usr/bin/env bash
# headers_test.sh HEADER-DIR [BUILD-DIR]: compiles each public header alone,
# as a caller's first include, from the installed tree: C++17, and the C
# headers also as C99, warnings as errors. The flags come from the installed
# pkg-config files (zorvlabelmgr-proxy for the dbus-c++ proxy). HEADER-DIR is
# the source tree's include/zorv, which names the headers; with BUILD-DIR the
# build is installed into a scratch prefix first, else the installed packages
# are used.
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

# Our include directory stays -I so that our headers are held to the
# warnings; dbus-c++'s headers have warnings of their own, so other
# directories become system ones.
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
  # Twice, so that a missing include guard shows too; C refuses a unit that
  # declares nothing, which export.h alone would be.
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

# The umbrella header keeps offering the proxy to callers that include
# dbus-c++ first, and pulls dbus-c++ into no one else.
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
