#!/usr/bin/env bash
# The plug-in exports exactly its four functions and imports only system DLLs and the host's two.
set -euo pipefail
dll="$1"
dump=$(x86_64-w64-mingw32-objdump -p "$dll")
exports=$(printf '%s\n' "$dump" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | grep -oE '^\s*\[ *[0-9]+\] [A-Za-z_0-9]+' | awk '{print $NF}' | sort | tr '\n' ' ')
want="Plugin_Interface_DriversDoAction Plugin_Interface_EnumerateDriversInfo Plugin_Interface_GetHelperOwnerModuleID Plugin_Interface_GetModuleVersion "
if [ "$exports" != "$want" ]; then
  echo "unexpected exports: $exports" >&2; exit 1
fi
allowed='^(kernel32|advapi32|setupapi|version|shlwapi|shell32|user32|msvcrt|ole32|oxallog|oxalsetup)\.dll$'
bad=$(printf '%s\n' "$dump" | awk '/DLL Name:/{print tolower($3)}' | grep -vE "$allowed" || true)
if [ -n "$bad" ]; then
  echo "unexpected imports: $bad" >&2; exit 1
fi
echo "binary check: 4 exports; imports: $(printf '%s\n' "$dump" | awk '/DLL Name:/{printf "%s ", $3}')"
