#!/usr/bin/env bash
# update-symbols.sh LIBRARY [VERSION]: brings packaging/library/symbols, the
# symbols file of libzorvlabelmgr1, up to date with a built
# libzorvlabelmgr.so.1 through dpkg-gensymbols: listed symbols keep their
# version, new ones get VERSION (the release that adds them, by default the
# project's version). Review what it reports before committing: a symbol that
# is gone breaks the programs that use it and calls for a new soname; a new
# one calls for the version in packaging/library/shlibs.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
library=$1
version=${2:-$(sed -nE 's/^project\(zorvlabelmgr VERSION ([0-9.]+).*/\1/p' "$root/CMakeLists.txt")}
symbols=$root/packaging/library/symbols
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
libdir=$work/pkg/usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)
mkdir -p "$libdir"
cp "$library" "$libdir/libzorvlabelmgr.so.1"
if [ ! -s "$symbols" ]; then
  printf 'libzorvlabelmgr.so.1 libzorvlabelmgr1 #MINVER#\n* Build-Depends-Package: libzorvlabelmgr-dev\n' >"$symbols"
fi
dpkg-gensymbols -plibzorvlabelmgr1 -v"$version" -P"$work/pkg" -e"$libdir/libzorvlabelmgr.so.1" \
  -I"$symbols" -O"$work/symbols" -c1 >&2 || true
mv "$work/symbols" "$symbols"
echo "wrote $symbols ($(grep -c '^ ' "$symbols") symbols)"
