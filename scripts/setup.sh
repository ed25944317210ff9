#!/usr/bin/env bash
# Installs what building, packing and running under Wine need on a Debian machine (apt-get, as
# root or through sudo). Says what it installs; quiet when everything is there.
set -euo pipefail
packages=(cmake ninja-build g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix
          binutils-mingw-w64-x86-64 wine64 googletest clang-format psmisc procps
          clang llvm osslsigncode openssl jq)
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo_cmd=""; [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
  echo "==> installing packages (a few minutes on a fresh machine): ${missing[*]}" >&2
  echo "==> updating the package lists (apt-get update)" >&2
  $sudo_cmd apt-get update -qq
  # One line per package as it is set up.
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -q "${missing[@]}" \
    | { grep --line-buffered -E '^(Setting up|Need to get|E:)' || true; } >&2
  for p in "${missing[@]}"; do
    dpkg -s "$p" >/dev/null 2>&1 || { echo "setup: $p did not install" >&2; exit 1; }
  done
fi
