#!/bin/sh
# Installs, checks the formatting, builds with warnings as errors and runs
# the whole suite; makes the Debian package and installs, runs and removes it
# in a scratch root; then the
# suite again under AddressSanitizer + UndefinedBehaviorSanitizer; then the
# tests that drive filter points and the proxy from many threads under
# ThreadSanitizer; then every
# fuzz target for a fixed, seeded number of runs on its seed corpus; then the
# 32-bit Windows DLL and its tests, cross-built and run under Wine.
#   ZEM_SKIP_SANITIZERS=1  skip the sanitizer pass
#   ZEM_SKIP_TSAN=1        skip the ThreadSanitizer pass over the thread tests
#   ZEM_SKIP_FUZZ=1        skip the fuzz pass
#   ZEM_SKIP_WINDOWS=1     skip the 32-bit Windows build and its tests under Wine
#   ZEM_FUZZ_SECONDS=N     explore each fuzz target for N seconds with a random
#                          seed instead of the fixed, reproducible pass
set -eu
cd "$(dirname "$0")/.."
sh scripts/setup.sh
# Every C++ file as .clang-format says, before anything is built.
sh scripts/check-format.sh
# Configured for /usr, so that the package made from it installs where
# Debian puts things.
sh scripts/build.sh -DZEM_WERROR=ON -DCMAKE_INSTALL_PREFIX=/usr
(cd build && ctest --output-on-failure --parallel "$(nproc)")
sh scripts/test-package.sh build
if [ "${ZEM_SKIP_SANITIZERS:-0}" != "1" ]; then
  gen=""
  command -v ninja >/dev/null 2>&1 && gen="-G Ninja"
  cmake -S . -B build-asan $gen -DCMAKE_BUILD_TYPE=Debug -DZEM_WERROR=ON -DZEM_BENCH=OFF \
    -DZEM_SANITIZE=address,undefined
  cmake --build build-asan --parallel "$(nproc)"
  (cd build-asan && ctest --output-on-failure --parallel "$(nproc)")
fi
if [ "${ZEM_SKIP_TSAN:-0}" != "1" ]; then
  gen=""
  command -v ninja >/dev/null 2>&1 && gen="-G Ninja"
  # No -Werror here: GCC warns that asio's fences are invisible to TSan
  # (-Wtsan); the warning-clean build above already holds the code to it.
  cmake -S . -B build-tsan $gen -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZEM_WERROR=OFF -DZEM_BENCH=OFF \
    -DZEM_SANITIZE=thread
  cmake --build build-tsan --target test_threads test_hardening test_zemhost --parallel "$(nproc)"
  # The memory-bound cases are single-threaded and slow under TSan; the
  # thread cases are what this pass is for.
  export TSAN_OPTIONS="suppressions=$PWD/tests/hardening/tsan.supp halt_on_error=1 second_deadlock_stack=1"
  build-tsan/tests/test_threads
  build-tsan/tests/test_hardening --gtest_filter='hardening_threads.*'
  build-tsan/tests/test_zemhost
  unset TSAN_OPTIONS
fi
if [ "${ZEM_SKIP_FUZZ:-0}" != "1" ]; then
  sh scripts/fuzz.sh
fi
if [ "${ZEM_SKIP_WINDOWS:-0}" != "1" ]; then
  sh scripts/test-windows.sh
fi
