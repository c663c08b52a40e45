#!/usr/bin/env bash
# Installs what the build needs on a Debian 12 machine. Quick when everything is already there.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

packages=(
  mingw-w64 g++-mingw-w64-x86-64-posix mingw-w64-tools
  wine wine64 libwine-dev
  rapidjson-dev googletest cmake ninja-build python3 dpkg-dev openssl
  # the end-to-end tests' and the benchmark's clients
  curl wrk chromium
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  nuv_log "installing: ${missing[*]}"
  nuv_as_root apt-get update -q
  nuv_as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

for tool in x86_64-w64-mingw32-g++-posix x86_64-w64-mingw32-widl x86_64-w64-mingw32-windres wine cmake ninja iconv openssl; do
  command -v "$tool" >/dev/null || nuv_die "$tool is missing after installation"
done

"$NUV_ROOT/scripts/build-cpprest.sh"
"$NUV_ROOT/scripts/test-ca.sh"
