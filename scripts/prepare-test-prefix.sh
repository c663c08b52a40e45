#!/usr/bin/env bash
# ctest's set-up fixture (NuvWinePrefix): the build folder's Wine prefix, created once, with a
# persistent wineserver, the build's COM servers registered and product logging to files.
# Usage: prepare-test-prefix.sh <build folder>
set -euo pipefail
export NUV_BUILD_DIR="$(cd "${1:?build folder}" && pwd)"
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
source "$NUV_ROOT/scripts/wine-prefix.sh"

nuv_wine_prepare
nuv_wine_register_com_servers
nuv_wine_use_file_logging
# HTTPS clients trust the reputation stand-in's test CA.
"$NUV_ROOT/scripts/test-ca.sh"
"$NUV_BUILD_DIR/wine-run.sh" "$NUV_BUILD_DIR/bin/nuv_trust_test_ca.exe" "$(winepath -w "$NUV_DEPS_DIR/testca/ca.der")" \
  || nuv_die "cannot trust the test CA"
echo "Wine prefix ready: $WINEPREFIX"
