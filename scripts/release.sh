#!/usr/bin/env bash
# Builds a release into build/dist/: helperQELMODriver-<version>-win64.zip (see the README's
# "Release package"). Installs what is missing and builds like the other scripts, then packs with
# CPack: the install rules strip both binaries into debug/ files with a debug link, sign them
# with osslsigncode (QELMO_SIGN_CERT/QELMO_SIGN_KEY, else a throw-away test certificate) and
# write SHA256SUMS.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$root/scripts/build.sh"
echo "==> packing the release (cpack)" >&2
cd "$root/build"
cpack --config CPackConfig.cmake
echo "==> release:" >&2
ls -l "$root/build/dist/"*.zip
