#!/bin/sh
# Builds the libFuzzer targets with clang (address + undefined sanitizers)
# and runs each for a bounded time on its seed corpus under fuzz/corpus/<name>.
# Crashes stop the run with the reproducer saved in build-fuzz/artifacts/.
set -eu
cd "$(dirname "$0")/.."
seconds="${ZEM_FUZZ_SECONDS:-15}"
gen=""
command -v ninja >/dev/null 2>&1 && gen="-G Ninja"
CXX=clang++ cmake -S . -B build-fuzz $gen -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZEM_FUZZ=ON -DZEM_TOOLS=OFF \
  -DZEM_BENCH=OFF
cmake --build build-fuzz --target fuzz_all --parallel "$(nproc)"
mkdir -p build-fuzz/artifacts
status=0
for bin in build-fuzz/fuzz/fuzz_*; do
  [ -x "$bin" ] || continue
  name=$(basename "$bin" | sed 's/^fuzz_//')
  corpus="fuzz/corpus/$name"
  work="build-fuzz/corpus/$name"
  mkdir -p "$work"
  [ -d "$corpus" ] && cp -r "$corpus"/. "$work"/ 2>/dev/null || true
  echo "== fuzz $name for ${seconds}s"
  if ! "$bin" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -artifact_prefix=build-fuzz/artifacts/"$name"- "$work" > build-fuzz/"$name".log 2>&1; then
    tail -n 40 build-fuzz/"$name".log
    echo "fuzz target $name failed"
    status=1
  else
    tail -n 1 build-fuzz/"$name".log
  fi
done
exit "$status"
