#!/bin/sh
# Cross-builds zem_net.dll and the Windows test programs for 32-bit Windows
# into build-win32/ (extra arguments go to CMake). Boost's headers come from
# Debian's libboost1.81-dev, unpacked into build-win32/deps without touching
# the Boost the Linux build uses.
set -eu
cd "$(dirname "$0")/.."
out=build-win32
deps="$out/deps"
boost="$deps/boost/usr/include"
if [ ! -f "$boost/boost/regex.hpp" ]; then
  mkdir -p "$deps/dl"
  rm -f "$deps"/dl/libboost1.81-dev_*.deb
  # apt-get download leaves the file where it runs; as root it warns that
  # its sandbox user cannot write there, which is harmless.
  (cd "$deps/dl" && apt-get download -q libboost1.81-dev 2>&1 | grep -v '^W: Download is performed unsandboxed' || true)
  deb=$(ls "$deps"/dl/libboost1.81-dev_*.deb)
  rm -rf "$deps/boost"
  dpkg-deb -x "$deb" "$deps/boost"
fi
gen=""
command -v ninja >/dev/null 2>&1 && gen="-G Ninja"
cmake -S . -B "$out" $gen -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-i686.cmake \
  -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" -DZEM_BENCH=OFF -DZEM_TOOLS=OFF \
  -DZEM_BOOST_INCLUDE="$PWD/$boost" "$@"
cmake --build "$out" --parallel "${ZEM_JOBS:-$(nproc)}" ${ZEM_TARGETS:+--target $ZEM_TARGETS}
