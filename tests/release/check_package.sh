#!/usr/bin/env bash
# Checks the release package as an integrator receives it.
#   check_package.sh contents ZIP BUILD_DIR VERSION
#       the layout; SHA256SUMS; the Authenticode signatures (against the build's test CA) and a
#       byte changed after signing failing them; the size limit of the DLL; no debug sections in
#       the shipped binaries, and debug links (name and CRC) that match the files in debug/;
#       a C program linked against the package's header and import library, and against an
#       MSVC-format import library made from its .def.
#   check_package.sh wine ZIP BUILD_DIR VERSION
#       unpacked into a fresh Wine prefix: qelmoctl from the package installs a fixture driver
#       package, reports its status, uninstalls it; the prefix is removed afterwards.
set -euo pipefail
mode="$1"
zip="$(realpath "$2")"
build="$(realpath "$3")"
version_text="$4"  # as the resources carry it: 2.9.9999.0
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
max_dll_bytes=$((400 * 1024))
binaries=(bin/helperQELMODriver.dll bin/qelmoctl.exe)

work="$build/release-check/$mode"
rm -rf "$work"
mkdir -p "$work/package"
fail() { echo "FAIL: $*" >&2; exit 1; }
ok() { echo "ok: $*"; }

cd "$work/package"
cmake -E tar xf "$zip"

# The CRC-32 that a .gnu_debuglink records, as 8 hex digits (gzip's trailer holds the same CRC).
crc32() { gzip -c <"$1" | tail -c 8 | head -c 4 | od -An -tx4 | tr -d ' \n'; }

check_contents() {
  local want got
  want=$(printf '%s\n' README.md SHA256SUMS bin/helperQELMODriver.dll bin/qelmoctl.exe \
    debug/helperQELMODriver.dll.debug debug/qelmoctl.exe.debug include/qelmo_plugin.h \
    lib/helperQELMODriver.def lib/libhelperQELMODriver.dll.a | sort)
  got=$(find . -type f | sed 's#^\./##' | sort)
  [ "$got" = "$want" ] || fail "package files differ:"$'\n'"$(diff <(echo "$want") <(echo "$got"))"
  ok "layout"

  sha256sum --quiet -c SHA256SUMS || fail "SHA256SUMS"
  [ "$(wc -l <SHA256SUMS)" -eq $(($(echo "$want" | wc -l) - 1)) ] || fail "SHA256SUMS misses files"
  ok "SHA256SUMS covers every other file"

  local ca="$build/signing/test-ca.pem" b
  for b in "${binaries[@]}"; do
    osslsigncode verify -CAfile "$ca" -in "$b" >"$work/verify.log" 2>&1 \
      || { cat "$work/verify.log"; fail "signature of $b"; }
    # One byte changed in the middle of the signed image.
    cp "$b" "$work/tampered"
    local offset=$(($(stat -c %s "$b") / 2))
    local byte
    byte=$(od -An -tu1 -j "$offset" -N1 "$b" | tr -d ' ')
    printf "\\$(printf '%03o' $(((byte + 1) % 256)))" \
      | dd of="$work/tampered" bs=1 seek="$offset" conv=notrunc status=none
    if osslsigncode verify -CAfile "$ca" -in "$work/tampered" >/dev/null 2>&1; then
      fail "$b with a byte changed after signing still verifies"
    fi
  done
  ok "signatures verify against the test CA; a changed byte fails verification"

  "$root/scripts/check-binary.sh" bin/helperQELMODriver.dll >/dev/null \
    || fail "the shipped DLL's exports or imports"
  ok "the shipped DLL exports its four functions and imports only what it may"

  local size
  size=$(stat -c %s bin/helperQELMODriver.dll)
  [ "$size" -le "$max_dll_bytes" ] || fail "helperQELMODriver.dll is $size bytes (> $max_dll_bytes)"
  ok "helperQELMODriver.dll $size bytes (limit $max_dll_bytes)"

  # The debug information covers the project's own code, not only the static runtime.
  local -A own_source=([bin/helperQELMODriver.dll]=src/plugin/exports.cpp
                       [bin/qelmoctl.exe]=tools/qelmoctl/qelmoctl.cpp)
  local name link size offset
  for b in "${binaries[@]}"; do
    name=$(basename "$b")
    [ "$(grep -ac "${own_source[$b]}" "debug/$name.debug")" -gt 0 ] \
      || fail "debug/$name.debug does not describe ${own_source[$b]}"
    # grep reads to the end (no -q): with pipefail an early exit would fail the pipe.
    if x86_64-w64-mingw32-objdump -h "$b" | grep '\.debug_' >/dev/null; then
      fail "$b has debug sections"
    fi
    x86_64-w64-mingw32-objdump -h "debug/$name.debug" | grep '\.debug_info' >/dev/null \
      || fail "debug/$name.debug holds no debug information"
    # The section's size and file offset, from the section table.
    read -r size offset < <(x86_64-w64-mingw32-objdump -h "$b" \
      | awk '$2 == ".gnu_debuglink" {print $3, $6}')
    [ -n "${offset:-}" ] || fail "$b has no debug link"
    dd if="$b" of="$work/link" bs=1 skip=$((16#$offset)) count=$((16#$size)) status=none
    # The section: the file name, NUL, padding to 4 bytes, then the CRC-32 (little-endian).
    link=$(tr '\0' '\n' <"$work/link" | head -1)
    [ "$link" = "$name.debug" ] || fail "$b links to '$link'"
    [ "$(tail -c 4 "$work/link" | od -An -tx4 | tr -d ' \n')" = "$(crc32 "debug/$name.debug")" ] \
      || fail "$b: debug link CRC does not match debug/$name.debug"
  done
  ok "stripped; debug links name debug/<binary>.debug with its CRC"

  cat >"$work/host.c" <<'C'
#include <stdio.h>
#include <qelmo_plugin.h>
int main(void) {
    uint32_t v[3] = {0, 0, 0};
    Plugin_Interface_GetModuleVersion(v);
    printf("%u %u.%u.%u\n", Plugin_Interface_GetHelperOwnerModuleID(), v[0], v[1], v[2]);
    return 0;
}
C
  x86_64-w64-mingw32-gcc -std=c11 -Wall -Wextra -Werror -pedantic -Iinclude -o "$work/host.exe" \
    "$work/host.c" -Llib -lhelperQELMODriver || fail "a C host does not build against the package"
  x86_64-w64-mingw32-objdump -p "$work/host.exe" | grep 'DLL Name: helperQELMODriver.dll' >/dev/null \
    || fail "the import library does not bind helperQELMODriver.dll"
  ok "a C host compiles against include/ and links with lib/ (imports helperQELMODriver.dll)"

  # What MSVC's lib /def makes of the .def: a short-format import library (llvm-dlltool here).
  llvm-dlltool -m i386:x86-64 -d lib/helperQELMODriver.def -l "$work/helperQELMODriver.lib" \
    || fail "lib/helperQELMODriver.def does not make an import library"
  x86_64-w64-mingw32-gcc -std=c11 -Iinclude -o "$work/host-def.exe" "$work/host.c" \
    "$work/helperQELMODriver.lib" || fail "a C host does not link with the .def's import library"
  x86_64-w64-mingw32-objdump -p "$work/host-def.exe" \
    | grep 'DLL Name: helperQELMODriver.dll' >/dev/null \
    || fail "the .def's import library does not bind helperQELMODriver.dll"
  ok "lib/helperQELMODriver.def makes an MSVC-format import library that binds the DLL"
}

check_in_wine() {
  local b
  for b in "${binaries[@]}"; do
    osslsigncode verify -CAfile "$build/signing/test-ca.pem" -in "$b" >/dev/null 2>&1 \
      || fail "signature of $b"
  done
  ok "signatures of the unpacked binaries verify"

  prefix="$build/release-prefix"
  export WINEPREFIX="$prefix" WINEDEBUG=-all
  "$root/scripts/wine-session.sh" stop "$prefix" || true
  rm -rf "$prefix"
  "$root/scripts/wine-session.sh" start "$prefix"
  trap '"$root/scripts/wine-session.sh" stop "$prefix"; rm -rf "$prefix"' EXIT
  # The host platform provides its two libraries; the package does not ship them.
  cp "$build/bin/oxalLog.dll" "$build/bin/oxalSetup.dll" "$prefix/drive_c/windows/system32/"
  mkdir -p "$prefix/drive_c/packages"
  cp -r "$build/bin/packages/v1" "$prefix/drive_c/packages/"
  wine reg add 'HKLM\SOFTWARE\Vantor\OXAL' /v InstallDir /t REG_SZ /d 'C:\windows\system32\' /f \
    >/dev/null 2>&1
  local ctl=("$work/package/bin/qelmoctl.exe")
  run() { wine "${ctl[@]}" --log-level 0 "$@" | tr -d '\r'; }
  # qelmoctl's JSON line; the plug-in's own console lines (failed service controls) may precede it.
  field() { grep '^{' | jq -r ".$1"; }

  local version
  version=$(run --version) || fail "qelmoctl --version"
  echo "$version" | grep "^qelmoctl $version_text" >/dev/null \
    || fail "qelmoctl --version: $version"
  echo "$version" | grep "helperQELMODriver.dll: module version" >/dev/null \
    || fail "qelmoctl --version: $version"
  ok "qelmoctl --version from the package: $(echo "$version" | tr '\n' ' ')"

  local out
  out=$(run --json install 'C:\packages\v1') || fail "install: $out"
  [ "$(echo "$out" | field result)" = DRV_OK ] || fail "install: $out"
  out=$(run --json status) || fail "status: $out"
  [ "$(echo "$out" | field version)" = 2.9.1234 ] || fail "status after install: $out"
  [ "$(echo "$out" | field state)" != DRV_STATE_UNKNOWN ] || fail "status after install: $out"
  ok "install from the package: $(echo "$out" | field state), version $(echo "$out" | field version)"
  out=$(run --json uninstall 'C:\packages\v1') || fail "uninstall: $out"
  [ "$(echo "$out" | field result)" = DRV_OK ] || fail "uninstall: $out"
  out=$(run --json status) || fail "status: $out"
  [ "$(echo "$out" | field state)" = DRV_STATE_UNKNOWN ] || fail "status after uninstall: $out"
  ok "uninstall from the package: $(echo "$out" | field state)"
}

case "$mode" in
  contents) check_contents ;;
  wine) check_in_wine ;;
  *) echo "usage: $0 contents|wine ZIP BUILD_DIR VERSION" >&2; exit 2 ;;
esac
