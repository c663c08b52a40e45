#!/usr/bin/env bash
# Installs what is missing, builds everything and runs the main job.
# Until the filter exists, the main job prepares the Wine prefix as the tests use it (suite
# stand-ins registered, product logging to files) and lists what the build produced.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
source "$NUV_ROOT/scripts/wine-prefix.sh"

"$NUV_ROOT/scripts/build.sh"

nuv_wine_prepare
trap nuv_wine_stop EXIT
nuv_wine_register_com_servers
nuv_wine_use_file_logging

echo "Built into $NUV_BUILD_DIR/bin:"
find "$NUV_BUILD_DIR/bin" -type f \( -iname '*.dll' -o -iname '*.exe' \) -printf '%10s  %P\n' | sort -k2
echo "Wine prefix: $WINEPREFIX (product logs under drive_c/ProgramData/Oberix/QVLOGS)"
