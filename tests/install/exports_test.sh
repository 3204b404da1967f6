#!/usr/bin/env bash
# The library exports its interface alone: C calls plain, typed names mangled, no internal helper.
set -euo pipefail
lib=$1
header=$2
symbols=$(nm -D --defined-only "$lib" | awk '{print $3}')
status=0
for name in $(grep -oE 'ZORV_API int [A-Za-z]+' "$header" | awk '{print $3}'); do
  grep -qx "$name" <<<"$symbols" || { echo "missing C symbol: $name"; status=1; }
done
internal=$(grep -E '_ZN4zorv|standin|DBusConnectionManager4Link|LinkDispatcher|takeLink|giveBack|openLink|acceptString' <<<"$symbols" || true)
if [ -n "$internal" ]; then
  echo "internal helpers exported:"; echo "$internal"; status=1
fi
unexpected=$(grep -vE '^_Z|^_init$|^_fini$' <<<"$symbols" | grep -vxF -f <(grep -oE 'ZORV_API [^(]*[ *]([A-Za-z_]+)\(' "$header" | sed -E 's/.*[ *]([A-Za-z_]+)\($/\1/') || true)
if [ -n "$unexpected" ]; then
  echo "unmangled symbols that are not C calls of the interface:"; echo "$unexpected"; status=1
fi
[ $status -eq 0 ] && echo "exports ok: $(wc -l <<<"$symbols") symbols"
exit $status
