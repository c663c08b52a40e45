#!/usr/bin/env bash
# The proxy host with and without the plug-in, side by side (bench/proxy_bench.py). Run by hand
# after a build (NUV_BUILD_DIR names another build folder than build/):
#   bash bench/proxy-bench.sh [seconds per measurement] [proxy_bench.py options: --soak 300 ...]
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/common.sh"
source "$NUV_ROOT/scripts/wine-prefix.sh"
command -v wrk >/dev/null || nuv_as_root apt-get install -y -q wrk
# Counts the Wine server's round trips.
command -v strace >/dev/null || nuv_as_root apt-get install -y -q strace
bash "$NUV_ROOT/scripts/prepare-test-prefix.sh" "$NUV_BUILD_DIR" >/dev/null
bash "$NUV_ROOT/scripts/reputation-standin.sh" start "$NUV_BUILD_DIR" >/dev/null
trap 'bash "$NUV_ROOT/scripts/reputation-standin.sh" stop "$NUV_BUILD_DIR"; nuv_wine_stop' EXIT
python3 "$NUV_ROOT/bench/proxy_bench.py" "$NUV_BUILD_DIR" --seconds "${1:-5}" "${@:2}"
