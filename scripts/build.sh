#!/bin/sh
# Configures and builds into build/ (extra arguments go to CMake).
set -eu
cd "$(dirname "$0")/.."
gen=""
command -v ninja >/dev/null 2>&1 && gen="-G Ninja"
cmake -S . -B build $gen -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
cmake --build build --parallel "$(nproc)"
