#!/usr/bin/env bash
# qemu-aarch64.sh PROGRAM [ARGUMENT...]: runs a program of the arm64 tree
# under qemu-user, with the target's libraries from the sysroot that
# ZORV_TEST_SYSROOT names (scripts/arm64-sysroot.sh makes it).
# qemu-aarch64.sh --list PROGRAM: the libraries it loads, as ldd lists them.
#
# The program starts through the target's loader, which finds the libraries
# in LD_LIBRARY_PATH and then in the sysroot. qemu's own way (-L or
# QEMU_LD_PREFIX) is not used: it leads every absolute path that exists in
# the sysroot there, "/" first of all, so that a program that opens "/" and
# walks down from it would walk the sysroot.
set -euo pipefail
sysroot=${ZORV_TEST_SYSROOT:?the arm64 sysroot}
libraries=$sysroot/usr/lib/aarch64-linux-gnu
loader=("$libraries/ld-linux-aarch64.so.1" --library-path "${LD_LIBRARY_PATH:+$LD_LIBRARY_PATH:}$libraries")
if [ "$1" = --list ]; then
  exec qemu-aarch64-static "${loader[@]}" --list "$2"
fi
program=$1
shift
exec qemu-aarch64-static "${loader[@]}" --argv0 "$program" "$program" "$@"
