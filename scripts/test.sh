#!/usr/bin/env bash
# The test command: installs what is missing, builds, checks formatting and the DLL's
# exports/imports, then runs every test under Wine in the build tree's own prefix.
# Extra arguments go to ctest (for example: -R unit.CLogText).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
start=$(date +%s)
"$root/scripts/build.sh"
"$root/scripts/check-format.sh"
"$root/scripts/check-binary.sh" "$root/build/bin/helperQELMODriver.dll"
prefix="$root/build/wineprefix"
"$root/scripts/wine-session.sh" start "$prefix"
trap '"$root/scripts/wine-session.sh" stop "$prefix"' EXIT
cd "$root"
ctest --preset default --timeout 600 "$@"
echo "tests finished in $(( $(date +%s) - start )) s"
