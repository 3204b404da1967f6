#!/usr/bin/env bash
# hardening_test.sh [--fortified] FILE...: full RELRO, stack protection, no executable stack (the service runs with
# MemoryDenyWriteExecute=), programs PIE, and with --fortified libc's checked functions.
set -euo pipefail
fortified=0
if [ "${1:-}" = --fortified ]; then
  fortified=1
  shift
fi
status=0
fail() {
  echo "$1: $2"
  status=1
}
for f in "$@"; do
  headers=$(readelf -hlW "$f")
  dynamic=$(readelf -dW "$f")
  imports=$(readelf --dyn-syms -W "$f" | awk '$7 == "UND" {print $8}')
  grep -q 'GNU_RELRO' <<<"$headers" || fail "$f" "no read-only relocation segment (-z relro)"
  grep -qE '\(FLAGS\).*BIND_NOW|\(FLAGS_1\).*\bNOW\b' <<<"$dynamic" || fail "$f" "not bound immediately (-z now)"
  grep -qE 'GNU_STACK.* RWE ' <<<"$headers" && fail "$f" "executable stack"
  grep -q '^__stack_chk_fail' <<<"$imports" || fail "$f" "no stack protection (-fstack-protector-strong)"
  if [ $fortified = 1 ] && ! grep -qE '^__[a-z0-9_]+_chk(@|$)' <<<"$(grep -v '^__stack_chk_fail' <<<"$imports")"; then
    fail "$f" "no fortified function (-D_FORTIFY_SOURCE=2)"
  fi
  # A program (one with an interpreter) must be position independent.
  if grep -q 'Requesting program interpreter' <<<"$headers" && ! grep -qE '\(FLAGS_1\).*\bPIE\b' <<<"$dynamic"; then
    fail "$f" "not a position-independent program (-pie)"
  fi
done
[ $status = 0 ] && echo "hardened: $*"
exit $status
