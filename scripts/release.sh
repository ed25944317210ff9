#!/usr/bin/env bash
# Builds a release into build/dist/: helperQELMODriver-<version>-win64.zip (see the README's
# "Release package"). Installs what is missing and builds like the other scripts, then packs with
# CPack: the install rules strip both binaries into debug/ files with a debug link, sign them
# with osslsigncode (QELMO_SIGN_CERT/QELMO_SIGN_KEY, else a throw-away test certificate) and
# write SHA256SUMS.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$root/scripts/build.sh"
if [ -n "${QELMO_SIGN_CERT:-}" ] && [ -n "${QELMO_SIGN_KEY:-}" ]; then
  echo "==> packing the release (cpack), signing with $QELMO_SIGN_CERT" >&2
else
  echo "==> packing the release (cpack), signing with a THROW-AWAY TEST CERTIFICATE" \
       "(build/signing/; set QELMO_SIGN_CERT and QELMO_SIGN_KEY to sign a release)" >&2
fi
cd "$root/build"
cpack --config CPackConfig.cmake
zip=$(ls "$root/build/dist/"*-win64.zip)
echo "==> $zip:" >&2
cmake -E tar tvf "$zip"
