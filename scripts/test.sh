#!/usr/bin/env bash
# The test command: installs what is missing, builds (with the compile-only checks of the public
# header and of the core with clang), checks formatting and the DLL's exports/imports, then runs
# every test under Wine in the build tree's own prefix, the release package's included.
# Extra arguments go to ctest (for example: -R unit.CLogText).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
start=$(date +%s)
"$root/scripts/build.sh"
echo "==> checking formatting and the DLL's exports and imports" >&2
"$root/scripts/check-format.sh"
"$root/scripts/check-binary.sh" "$root/build/bin/helperQELMODriver.dll"
prefix="$root/build/wineprefix"
echo "==> starting the Wine session of $prefix" >&2
"$root/scripts/wine-session.sh" start "$prefix"
trap '"$root/scripts/wine-session.sh" stop "$prefix"' EXIT
cd "$root/build"
echo "==> running the tests (ctest)" >&2
ctest --output-on-failure --timeout 600 "$@"
echo "tests finished in $(( $(date +%s) - start )) s"
