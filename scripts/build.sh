#!/usr/bin/env bash
# Configures and builds everything into build/ (bin/ holds the DLLs, tools, tests and fixtures).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$root/scripts/setup.sh"
cd "$root"
cmake --preset default >/dev/null
cmake --build --preset default
