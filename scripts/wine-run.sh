#!/bin/sh
# Runs a Windows program of the cross build under 32-bit Wine, with Wine's
# state (the prefix: its C: drive and registry) kept apart from the user's.
#   ZEM_WINEPREFIX  the prefix to use (default: build-win32/wine in the tree)
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)
export WINEPREFIX="${ZEM_WINEPREFIX:-$here/build-win32/wine}"
export WINEARCH=win32
export WINEDEBUG="${WINEDEBUG:--all}"
# No desktop integration, no Mono or Gecko installers on first start.
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml,winemenubuilder.exe=d}"
exec wine "$@"
