#!/bin/sh
# Installs, builds, and starts the main program.
set -eu
cd "$(dirname "$0")/.."
sh scripts/setup.sh
sh scripts/build.sh
if [ -x build/tools/zem-host/zem-host ]; then
  exec build/tools/zem-host/zem-host demo "$@"
fi
exec build/tests/test_core --gtest_brief=1
