#!/bin/sh
# Fails when a C++ file of the tree differs from what clang-format makes of
# it (the style is .clang-format at the root). With a commit as argument,
# only the files changed since that commit are checked.
#   sh scripts/check-format.sh            every tracked source
#   sh scripts/check-format.sh main       what a branch changed
# Fix with: clang-format -i FILE...
set -eu
cd "$(dirname "$0")/.."
if [ $# -gt 0 ]; then
  files=$(git diff --name-only --diff-filter=d "$1" -- '*.cpp' '*.h')
else
  files=$(git ls-files '*.cpp' '*.h')
fi
[ -n "$files" ] || exit 0
echo "$files" | xargs clang-format --dry-run -Werror
echo "formatting: $(echo "$files" | wc -l) files as .clang-format says"
