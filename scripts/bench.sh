#!/usr/bin/env bash
# Benchmarks of the plug-in (not part of the tests). Builds, then measures side by side in the
# build tree's own Wine prefix and prints one table (markdown) with the date and the machine:
#   enumeration through the export against the same Win32 calls made directly;
#   install, update and uninstall through the export (less the time spent in Sleep: the pauses
#   and the polling of waits) against the same work done directly, in ABBA pairs of rounds (the
#   median of the pairs' ratios, the worst pair and the range of single rounds);
#   a log site whose category is off: time, library calls and heap allocations per site;
#   the DLL's size and imports (objdump -p);
# then, per action, the calls into the system on both sides and the functions where they differ.
# Extra arguments go to qelmo_bench.exe (--rounds N enumeration rounds, --pairs N lifecycle pairs,
# --enum-calls N, --log-sites N, --skip-lifecycle, --all-calls). Takes about ten minutes on a
# loaded 2-core machine; the load average is printed at the start and at the end.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$root/scripts/build.sh" >/dev/null
prefix="$root/build/wineprefix"
"$root/scripts/wine-session.sh" start "$prefix"
trap '"$root/scripts/wine-session.sh" stop "$prefix"' EXIT
export QELMO_BUILD_DIR="$root/build"
export OXAL_LOG_FILE=none

dll="$root/build/bin/helperQELMODriver.dll"
dump=$(x86_64-w64-mingw32-objdump -p "$dll")
imports=$(printf '%s\n' "$dump" | sed -n '/The Import Tables/,/The Export Tables/p')
dll_count=$(printf '%s\n' "$imports" | grep -c 'DLL Name:')
function_count=$(printf '%s\n' "$imports" | grep -cE '^\s+[0-9a-f]+\s+[0-9]+\s+\S+')
size=$(stat -c %s "$dll")
stripped=$(mktemp)
x86_64-w64-mingw32-strip -o "$stripped" "$dll"
stripped_size=$(stat -c %s "$stripped")
rm -f "$stripped"
cpu=$(sed -n 's/^model name\s*:\s*//p' /proc/cpuinfo | head -1)

echo "benchmarks, $(date '+%Y-%m-%d %H:%M'), ${cpu:-unknown CPU}, $(nproc) cores," \
     "$(wine --version 2>/dev/null || echo wine), load average $(cut -d' ' -f1-3 /proc/loadavg)"
echo
dll_row=$(printf '| helperQELMODriver.dll | %s bytes (%s stripped), imports %s functions from %s DLLs | - | - | - | - |' \
  "$size" "$stripped_size" "$function_count" "$dll_count")
# The plug-in's console echo of failed service controls is not part of the table. The DLL's row
# closes the first table (the one that ends at the first empty line).
"$root/scripts/wine-run.sh" "$root/build/bin/qelmo_bench.exe" "$@" | tr -d '\r' \
  | grep -v '^ControlService failed!' \
  | awk -v row="$dll_row" '!done && /^$/ { print row; done = 1 } { print } END { if (!done) print row }'
echo
echo "load average at the end $(cut -d' ' -f1-3 /proc/loadavg)"
