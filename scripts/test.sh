#!/bin/sh
# Installs, builds with warnings as errors and runs the whole suite; then the
# suite again under AddressSanitizer + UndefinedBehaviorSanitizer; then every
# fuzz target for a fixed, seeded number of runs on its seed corpus.
#   ZEM_SKIP_SANITIZERS=1  skip the sanitizer pass
#   ZEM_SKIP_FUZZ=1        skip the fuzz pass
#   ZEM_FUZZ_SECONDS=N     explore each fuzz target for N seconds with a random
#                          seed instead of the fixed, reproducible pass
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
if [ "${ZEM_SKIP_FUZZ:-0}" != "1" ]; then
  sh scripts/fuzz.sh
fi
