#!/bin/sh
# Builds the libFuzzer targets with clang (address + undefined sanitizers)
# and runs each on its seed corpus under fuzz/corpus/<name>.
#
# The default is a fixed seed and a fixed number of runs per target: a
# smoke pass that stays close to what was explored before landing (the
# engine's clocks and process-wide caches still make coverage vary a little
# from run to run). Open-ended exploration is ZEM_FUZZ_SECONDS=N
# (time-bounded, random seed); a finding is fixed and its input kept in
# tests/data/regressions/<target>/, which the normal suite replays.
# Crashes stop the run with the reproducer saved in build-fuzz/artifacts/.
set -eu
cd "$(dirname "$0")/.."
gen=""
command -v ninja >/dev/null 2>&1 && gen="-G Ninja"
CXX=clang++ cmake -S . -B build-fuzz $gen -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZEM_FUZZ=ON -DZEM_TOOLS=OFF \
  -DZEM_BENCH=OFF
cmake --build build-fuzz --parallel "$(nproc)"
mkdir -p build-fuzz/artifacts

# About ten seconds of each target on two shared cores.
runs_for() {
  case "$1" in
    whole_chain) echo 4000 ;;
    storage) echo 50000 ;;
    html | http_filter) echo 15000 ;;
    mail) echo 2000 ;;
    pop3 | smtp) echo 20000 ;;
    script_text) echo 100000 ;;
    ftp | ssl) echo 70000 ;;
    imap | nntp) echo 20000 ;;
    decoders | matcher | host_replies) echo 150000 ;;
    *) echo 300000 ;;
  esac
}

status=0
for bin in build-fuzz/fuzz/fuzz_*; do
  [ -x "$bin" ] || continue
  name=$(basename "$bin" | sed 's/^fuzz_//')
  corpus="fuzz/corpus/$name"
  work="build-fuzz/corpus/$name"
  # A fresh copy of the seeds each time keeps the fixed-seed pass repeatable.
  rm -rf "$work"
  mkdir -p "$work"
  [ -d "$corpus" ] && cp -r "$corpus"/. "$work"/ 2>/dev/null || true
  # Past findings seed the search too, so their neighbourhood stays covered.
  found="tests/data/regressions/$name"
  [ -d "$found" ] && cp -r "$found"/. "$work"/ 2>/dev/null || true
  if [ -n "${ZEM_FUZZ_SECONDS:-}" ]; then
    limit="-max_total_time=$ZEM_FUZZ_SECONDS"
    echo "== fuzz $name for ${ZEM_FUZZ_SECONDS}s"
  else
    limit="-seed=1 -runs=$(runs_for "$name") -max_total_time=120"
    echo "== fuzz $name: $(runs_for "$name") runs, seed 1"
  fi
  # shellcheck disable=SC2086
  if ! "$bin" $limit -timeout=10 -rss_limit_mb=2048 \
    -artifact_prefix=build-fuzz/artifacts/"$name"- "$work" > build-fuzz/"$name".log 2>&1; then
    tail -n 40 build-fuzz/"$name".log
    echo "fuzz target $name failed"
    status=1
  else
    tail -n 1 build-fuzz/"$name".log
  fi
done
exit "$status"
