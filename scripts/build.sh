#!/usr/bin/env bash
# Installs what is missing, then configures and builds everything into $NUV_BUILD_DIR (default: build/).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

"$NUV_ROOT/scripts/setup.sh"

cmake -S "$NUV_ROOT" -B "$NUV_BUILD_DIR" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$NUV_ROOT/cmake/toolchain-mingw64.cmake" \
  -DNUV_DEPS_DIR="$NUV_DEPS_DIR" >/dev/null
cmake --build "$NUV_BUILD_DIR" -j "$(nuv_jobs)"
