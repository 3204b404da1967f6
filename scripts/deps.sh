#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demonstration need,
# non-interactively and only when some are missing.
set -euo pipefail
packages=(
  build-essential cmake pkg-config clang lld libclang-rt-14-dev
  libdbus-1-dev libdbus-c++-dev dbus-daemon libzmq3-dev liblog4cpp5-dev libre2-dev libssl-dev openssl
  libgtest-dev libgmock-dev libbenchmark-dev libexpat1-dev attr python3 ccache
  libsqlite3-dev sqlite3 nlohmann-json3-dev libcli11-dev libsystemd-dev libfuse3-dev
  systemd zsh doxygen ninja-build
  pybind11-dev python3-dev python3-pytest python3-mypy python3-dbus
)
# The arm64 tree's cross compiler and emulator (its libraries come from
# scripts/arm64-sysroot.sh); not with ZORV_ARM64=0.
if [ "${ZORV_ARM64:-1}" != 0 ]; then
  packages+=(g++-aarch64-linux-gnu binutils-aarch64-linux-gnu qemu-user-static)
fi
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo=sudo
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update
  $sudo apt-get install -y --no-install-recommends "${missing[@]}"
fi
