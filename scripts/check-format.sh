#!/usr/bin/env bash
# Fails when a C or C++ source differs from what .clang-format makes of it.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
files=$(git ls-files '*.cpp' '*.h' '*.c' 2>/dev/null || find src include hostlibs tools tests -name '*.cpp' -o -name '*.h' -o -name '*.c')
[ -n "$files" ] || exit 0
# shellcheck disable=SC2086
if ! clang-format --dry-run --Werror $files; then
  echo "format check failed: run 'clang-format -i' on the files above" >&2
  exit 1
fi
echo "format check: ok"
