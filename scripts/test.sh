#!/usr/bin/env bash
# Installs what is missing, builds everything and runs all tests under Wine.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
source "$NUV_ROOT/scripts/wine-prefix.sh"

"$NUV_ROOT/scripts/build.sh"

# ctest's set-up fixture prepares the prefix and starts the wineserver; it is stopped at the end.
trap nuv_wine_stop EXIT
# ctest's own summary is the last thing printed.
ctest --test-dir "$NUV_BUILD_DIR" --output-on-failure -j "$(nuv_jobs)"
