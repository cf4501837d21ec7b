#!/bin/sh
# Cross-builds zem_net.dll and the engine's test programs for 32-bit Windows
# (warnings as errors), checks the DLL's export table, and runs the tests
# under 32-bit Wine, the Windows host test included. Wine keeps its state in
# build-win32/wine (created on first use, about 15 s). Extra arguments go
# to CMake.
set -eu
cd "$(dirname "$0")/.."
sh scripts/build-windows.sh -DZEM_WERROR=ON "$@"
sh tests/check_exports.sh build-win32/zem_net.dll
# The DLL and the Linux library export the same names (src/module/zem_net.def
# and exports.map are kept by hand).
if [ -f build/libzem_net.so ]; then
  dll=$(sh tests/check_exports.sh build-win32/zem_net.dll)
  so=$(sh tests/check_exports.sh build/libzem_net.so)
  if [ "$dll" != "$so" ]; then
    echo "zem_net.dll and libzem_net.so differ: $dll / $so"; exit 1
  fi
fi
if ! dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q "install ok installed"; then
  echo "test-windows.sh: WARNING: no 32-bit Wine here (see scripts/setup.sh);" \
       "the DLL and its tests were built and the exports checked, but the tests did not run" >&2
  exit 0
fi
export ZEM_WINEPREFIX="$PWD/build-win32/wine"
# Start the prefix once, before programs run side by side in it.
scripts/wine-run.sh wineboot --init >/dev/null 2>&1
status=0
(cd build-win32 && ctest --output-on-failure --parallel "$(nproc)") || status=$?
# Wine's server lingers a few seconds after the last program; wait for it so
# that nothing of the run outlives the script.
WINEPREFIX="$ZEM_WINEPREFIX" wineserver -w || true
exit $status
