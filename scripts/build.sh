#!/usr/bin/env bash
# Configures and builds everything into build/ (bin/ holds the DLLs, tools, tests and fixtures).
# Progress goes to stderr: the stages, then ninja's [done/total] lines.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$root/scripts/setup.sh"
cd "$root"
if [ ! -f build/build.ninja ]; then
  echo "==> configuring build/ (cmake --preset default)" >&2
fi
cmake --preset default >/dev/null
echo "==> building (ninja; the first build takes a few minutes)" >&2
cmake --build build >&2
