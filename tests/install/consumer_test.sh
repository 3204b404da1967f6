#!/usr/bin/env bash
# Consumers built against the build installed in a scratch prefix: C99 and proxy through pkg-config, C++ and proxy
# through find_package(zorvlabelmgr). Skips with --cross=TRIPLET.
set -euo pipefail
if [[ $1 == --cross=* ]]; then
  echo "SKIPPED: the consumers are built with the machine's own compilers and run here, not against a tree" \
    "built for ${1#--cross=}"
  exit 77
fi
build=$1
here=$2
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
libdir=$(dirname "$(find "$prefix" -name 'zorvlabelmgr.pc' | head -n 1)")/..

export PKG_CONFIG_PATH=$libdir/pkgconfig
cc -std=c99 -pedantic -Wall -Wextra -Werror "$here/consumer.c" -o "$prefix/c-consumer" \
  $(pkg-config --cflags --libs zorvlabelmgr)
LD_LIBRARY_PATH=$libdir "$prefix/c-consumer"
c++ -std=c++17 "$here/proxy_consumer.cpp" -o "$prefix/proxy-consumer" $(pkg-config --cflags --libs zorvlabelmgr-proxy)
LD_LIBRARY_PATH=$libdir "$prefix/proxy-consumer"

mkdir -p "$prefix/cxx"
cat >"$prefix/cxx/CMakeLists.txt" <<CMAKE
cmake_minimum_required(VERSION 3.16)
project(consumer CXX)
set(CMAKE_CXX_STANDARD 17)
find_package(zorvlabelmgr REQUIRED COMPONENTS proxy)
add_executable(cxx-consumer $here/consumer.cpp)
target_link_libraries(cxx-consumer PRIVATE zorvlabelmgr::zorvlabelmgr)
add_executable(proxy-consumer $here/proxy_consumer.cpp)
target_link_libraries(proxy-consumer PRIVATE zorvlabelmgr::proxy)
CMAKE
cmake -S "$prefix/cxx" -B "$prefix/cxx/build" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$prefix/cxx/build" >/dev/null
"$prefix/cxx/build/cxx-consumer"
"$prefix/cxx/build/proxy-consumer"
echo "consumers built and ran against the installed tree"
