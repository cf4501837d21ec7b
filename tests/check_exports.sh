#!/bin/sh
# The shared library must export the engine's C entry points and nothing else.
set -eu
lib="$1"
syms=$(nm -D --defined-only "$lib" | awk '$2 ~ /^[TtWwDdBbRrVvi]$/ {print $3}' | sort)
expected="create_filt_point deinitialize execute_dbg_task execute_unit_test initialize"
expected=$(echo $expected | tr ' ' '\n' | sort)
if [ "$syms" != "$expected" ]; then
  echo "unexpected exports:"; echo "$syms"; echo "expected:"; echo "$expected"; exit 1
fi
echo "exports ok: $(echo $syms)"
