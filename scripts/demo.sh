#!/usr/bin/env bash
# The main job, end to end: installs what is missing, builds the plug-in, the tools and the fixture
# packages, makes a fresh Wine prefix, and drives the whole driver lifecycle through the plug-in's
# exports with qelmoctl: install v1, status, update to v2, status, uninstall, status.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$root/scripts/build.sh"
bin="$root/build/bin"
prefix="$root/build/demo-prefix"
export QELMO_BUILD_DIR="$root/build"
export WINEPREFIX_OVERRIDE="$prefix"
export WINEDEBUG=-all

"$root/scripts/wine-session.sh" stop "$prefix" || true
rm -rf "$prefix"
echo "==> creating a fresh Wine prefix for the demo ($prefix)" >&2
"$root/scripts/wine-session.sh" start "$prefix"
trap '"$root/scripts/wine-session.sh" stop "$prefix"' EXIT

cd "$bin"
# The host platform records where it is installed; the plug-in reads it when it loads.
WINEPREFIX="$prefix" wine reg add 'HKLM\SOFTWARE\Vantor\OXAL' /v InstallDir /t REG_SZ \
  /d "$(WINEPREFIX="$prefix" winepath -w "$bin")\\" /f >/dev/null 2>&1

ctl() { "$root/scripts/wine-run.sh" qelmoctl.exe "$@" | tr -d '\r'; }
# One value of qelmoctl's --json line; the plug-in's own console lines may come before it.
field() { { grep '^{' || true; } | jq -r ".$1 // empty"; }

echo "== plug-in identity"
ctl --version
ctl info
echo

summary=()
step() {  # step NAME COMMAND [ARGS...]
  local name="$1"; shift
  local out result seconds status state version
  echo "== $name"
  out=$(ctl --json --log-level "${DEMO_LOG_LEVEL:-3}" "$@" || true)
  result=$(printf '%s' "$out" | field result)
  seconds=$(printf '%.3f' "$(printf '%s' "$out" | field seconds)")
  status=$(ctl --json --log-level 0 status || true)
  state=$(printf '%s' "$status" | field state)
  version=$(printf '%s' "$status" | field version)
  echo "   result $result, driver $state, version $version, ${seconds}s"
  summary+=("$(printf '%-22s %-24s %-24s %-10s %8ss' "$name" "$result" "$state" "$version" "$seconds")")
}

step "install v1" install 'packages\v1'
step "update to v2" update 'packages\v2' --compare-state 1
step "uninstall" uninstall 'packages\v2'

echo
printf '%-22s %-24s %-24s %-10s %9s\n' STEP RESULT "DRIVER STATE" VERSION TIME
printf '%s\n' "${summary[@]}"
echo
echo "== final status"
ctl status
