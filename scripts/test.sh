#!/bin/sh
# Installs, builds with warnings as errors, runs the whole suite, then the
# suite again under AddressSanitizer and UndefinedBehaviorSanitizer.
set -eu
cd "$(dirname "$0")/.."
sh scripts/setup.sh
sh scripts/build.sh -DZEM_WERROR=ON
(cd build && ctest --output-on-failure --parallel "$(nproc)")
if [ "${ZEM_SKIP_SANITIZERS:-0}" != "1" ]; then
  gen=""
  command -v ninja >/dev/null 2>&1 && gen="-G Ninja"
  cmake -S . -B build-asan $gen -DCMAKE_BUILD_TYPE=Debug -DZEM_WERROR=ON -DZEM_BENCH=OFF \
    -DZEM_SANITIZE=address,undefined
  cmake --build build-asan --parallel "$(nproc)"
  (cd build-asan && ctest --output-on-failure --parallel "$(nproc)")
fi
