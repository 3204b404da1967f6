#!/usr/bin/env bash
# arm64-sysroot.sh [DIR]: prepares what the arm64 tree needs: the cross
# compiler and qemu-user from the machine's own packages, and a sysroot of
# Debian's arm64 libraries and development files in DIR
# (/var/cache/zorv-arm64 by default, or ZORV_ARM64_CACHE; the sysroot is
# DIR/sysroot).
#
# The arm64 packages are not installed: some of their -dev packages are not
# Multi-Arch: same (liblog4cpp5-dev), and installing them would remove the
# machine's own and break the native build. apt-get resolves and downloads
# them with a state of its own (an empty package database, lists of its own,
# the machine's sources), dpkg-deb extracts them, and absolute symbolic links
# are made relative so that they lead into the sysroot. The machine's dpkg and
# apt configuration stay as they are.
#
# It does nothing when the sysroot was made by this version of the script for
# the same package list; ZORV_ARM64_REFRESH=1 makes it again with the newest
# packages.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cache=${1:-${ZORV_ARM64_CACHE:-/var/cache/zorv-arm64}}
sysroot=$cache/sysroot

# The machine's side: the cross compiler, qemu, and what the native build
# needs (the tests of the arm64 tree use the host's bus daemon).
ZORV_ARM64=1 bash "$root/scripts/deps.sh"

# The target's side: the C and C++ runtime (the sysroot is the compiler's
# whole view of the target) and the libraries the tree links.
target_packages=(
  libc6-dev libstdc++-12-dev libgcc-12-dev linux-libc-dev
  libdbus-1-dev libdbus-c++-dev libzmq3-dev liblog4cpp5-dev libre2-dev libssl-dev
  libgtest-dev libgmock-dev libexpat1-dev libsqlite3-dev nlohmann-json3-dev libcli11-dev
  libsystemd-dev libfuse3-dev
)
stamp="$(sha256sum "$0" | cut -d' ' -f1) ${target_packages[*]}"
if [ "${ZORV_ARM64_REFRESH:-0}" != 1 ] && [ "$(cat "$sysroot/.zorv-sysroot" 2>/dev/null)" = "$stamp" ]; then
  echo "the arm64 sysroot $sysroot is up to date"
  exit 0
fi

apt_dir=$cache/apt
mkdir -p "$apt_dir"/{lists/partial,archives/partial,etc/preferences.d,etc/apt.conf.d}
: >"$apt_dir/status"
apt=(apt-get -q
  -o APT::Architecture=arm64 -o APT::Architectures=arm64
  -o Dir::State="$apt_dir" -o Dir::State::Lists="$apt_dir/lists" -o Dir::State::status="$apt_dir/status"
  -o Dir::Cache="$apt_dir" -o Dir::Cache::Archives="$apt_dir/archives"
  -o Dir::Etc::Preferences="$apt_dir/etc/preferences" -o Dir::Etc::PreferencesParts="$apt_dir/etc/preferences.d"
  -o Dir::Etc::Parts="$apt_dir/etc/apt.conf.d"
  -o APT::Install-Recommends=false -o APT::Get::Assume-Yes=true
  -o Debug::NoLocking=true)
echo "== the arm64 package lists"
"${apt[@]}" update >/dev/null
# What the packages and their dependencies are, resolved against an empty
# system; the files are fetched into the cache and kept for the next time.
echo "== the arm64 packages"
"${apt[@]}" install --download-only "${target_packages[@]}" >/dev/null

echo "== the sysroot in $sysroot"
rm -rf "$sysroot.new"
mkdir -p "$sysroot.new"
for deb in "$apt_dir"/archives/*.deb; do
  dpkg-deb -x "$deb" "$sysroot.new"
done
# Debian 12 keeps /lib in /usr/lib; the packages extracted here may not.
for dir in lib bin sbin; do
  if [ -d "$sysroot.new/$dir" ] && [ ! -L "$sysroot.new/$dir" ]; then
    mkdir -p "$sysroot.new/usr/$dir"
    cp -a "$sysroot.new/$dir/." "$sysroot.new/usr/$dir/"
    rm -rf "$sysroot.new/$dir"
  fi
  [ -e "$sysroot.new/$dir" ] || ln -s "usr/$dir" "$sysroot.new/$dir"
done
# The packages' symbols and shlibs files, for dpkg-shlibdeps when cpack makes
# the arm64 packages: it finds the libraries in the sysroot, which it takes
# for a package being built, and reads their dependency information there.
control=$(mktemp -d)
mkdir -p "$sysroot.new/DEBIAN"
for deb in "$apt_dir"/archives/*.deb; do
  rm -rf "$control" && dpkg-deb -e "$deb" "$control"
  for file in symbols shlibs; do
    [ -f "$control/$file" ] && cat "$control/$file" >>"$sysroot.new/DEBIAN/$file"
  done
done
rm -rf "$control"
# An absolute link means the target's root: made relative, it leads to the
# same file inside the sysroot, wherever the sysroot is.
find "$sysroot.new" -type l -lname '/*' -print0 | while IFS= read -r -d '' link; do
  target=$(readlink "$link")
  ln -sfn "$(realpath -m -s --relative-to="$(dirname "$link")" "$sysroot.new$target")" "$link"
done
rm -rf "$sysroot"
mv "$sysroot.new" "$sysroot"
printf '%s' "$stamp" >"$sysroot/.zorv-sysroot"
echo "the arm64 sysroot $sysroot is made of $(ls "$apt_dir"/archives/*.deb | wc -l) packages"
