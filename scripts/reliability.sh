#!/usr/bin/env bash
# The reliability campaigns at their full counts (the test command runs short forms of them as the
# ctest tests reliability.*). Builds first, then runs in the build tree's own Wine prefix:
#   bad input   RECORDS generated records (REAL of them with whole packages, SLOW with updates)
#   kill        KILLS kills of the host process during install, update and uninstall
#   repeat      CYCLES install -> update -> uninstall cycles in one host process
#   fault       every call of every action failed once, failed for good, and the host ended there
#               (FAULT_EVERY=K runs every K-th point only)
# Counts and the random seed can be set from the environment, e.g. KILLS=120 SEED=7.
# Takes about 16 minutes on two cores with the defaults, plus the fault injection (README.md). Exit status 0 when every campaign held.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
RECORDS="${RECORDS:-20000}"
REAL="${REAL:-150}"
SLOW="${SLOW:-40}"
KILLS="${KILLS:-60}"
CYCLES="${CYCLES:-200}"
seed_args=()
[ -n "${SEED:-}" ] && seed_args=(--seed "$SEED")

"$root/scripts/build.sh"
prefix="$root/build/wineprefix"
"$root/scripts/wine-session.sh" start "$prefix"
trap '"$root/scripts/wine-session.sh" stop "$prefix"' EXIT
export QELMO_BUILD_DIR="$root/build"
export OXAL_LOG_FILE="${OXAL_LOG_FILE:-none}"
# The plug-in's console echo of failed service controls ("ControlService failed! ...") is dropped.
run() {
  "$root/scripts/wine-run.sh" "$root/build/bin/$1" "${@:2}" | tr -d '\r' \
    | { grep -v '^ControlService failed!' || true; }
}

status=0
start=$(date +%s)
echo "== bad input"
run reliability_bad_input.exe --records "$RECORDS" --real "$REAL" --slow "$SLOW" "${seed_args[@]}" \
  || status=1
echo "== kill"
run reliability_kill.exe --kills "$KILLS" "${seed_args[@]}" || status=1
echo "== repeat"
run reliability_repeat.exe --cycles "$CYCLES" || status=1
echo "== fault injection"
run reliability_fault.exe --every "${FAULT_EVERY:-1}" || status=1
echo "reliability campaigns finished in $(( $(date +%s) - start )) s, status $status"
exit $status
