#!/usr/bin/env bash
# Runs a Windows program under Wine in the build tree's own prefix (never ~/.wine).
# Used as CMAKE_CROSSCOMPILING_EMULATOR, so ctest runs the test programs directly.
# QELMO_BUILD_DIR selects the build tree; by default the one beside this script.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
build="${QELMO_BUILD_DIR:-$here/../build}"
mkdir -p "$build"
export WINEPREFIX="${WINEPREFIX_OVERRIDE:-$(cd "$build" && pwd)/wineprefix}"
export WINEDEBUG="${WINEDEBUG:--all}"
"$here/wine-session.sh" start "$WINEPREFIX" >&2
exec wine "$@"
