#!/bin/sh
# The shared library must export the engine's C entry points and nothing
# else: the ELF library (nm -D) or zem_net.dll (its PE export table, by
# name, undecorated).
set -eu
lib="$1"
case "$lib" in
  *.dll)
    syms=$(${OBJDUMP:-i686-w64-mingw32-objdump} -p "$lib" |
      sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' | awk '/^[[:space:]]+\[/ {print $NF}' | sort)
    ;;
  *)
    syms=$(nm -D --defined-only "$lib" | awk '$2 ~ /^[TtWwDdBbRrVvi]$/ {print $3}' | sort)
    ;;
esac
expected="create_filt_point deinitialize execute_dbg_task execute_unit_test initialize"
expected=$(echo $expected | tr ' ' '\n' | sort)
if [ "$syms" != "$expected" ]; then
  echo "unexpected exports:"; echo "$syms"; echo "expected:"; echo "$expected"; exit 1
fi
echo "exports ok: $(echo $syms)"
