#!/usr/bin/env bash
# Installs what is missing, builds everything and runs the main job.
# Until the filter exists, the main job lists what the build produced.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

"$NUV_ROOT/scripts/build.sh"

echo "Built into $NUV_BUILD_DIR/bin:"
find "$NUV_BUILD_DIR/bin" -maxdepth 1 -type f \( -iname '*.dll' -o -iname '*.exe' \) -printf '%10s  %f\n' | sort -k2
