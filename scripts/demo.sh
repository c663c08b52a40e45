#!/usr/bin/env bash
# Installs what is missing, builds everything and runs the main job: the filter demo. A protected
# child browses with curl through the stand-in proxy host with Nuv loaded, to a small web site on
# 127.0.0.1, with the reputation service's stand-in classifying; each page says what the child got
# and what reached the site. NUV_DEMO_KEEP=1 keeps the proxy serving for a browser until Ctrl-C.
# Everything started here is stopped by process id on exit.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
source "$NUV_ROOT/scripts/wine-prefix.sh"

"$NUV_ROOT/scripts/build.sh"

# The prefix as the tests use it: stand-ins and Nuv registered, product logging to files, the
# test CA trusted (the reputation stand-in serves HTTPS).
"$NUV_ROOT/scripts/prepare-test-prefix.sh" "$NUV_BUILD_DIR" >/dev/null
"$NUV_ROOT/scripts/reputation-standin.sh" start "$NUV_BUILD_DIR" >/dev/null
trap '"$NUV_ROOT/scripts/reputation-standin.sh" stop "$NUV_BUILD_DIR"; nuv_wine_stop' EXIT

keep=()
[ "${NUV_DEMO_KEEP:-0}" = 1 ] && keep=(--keep)
python3 "$NUV_ROOT/scripts/demo_browse.py" "$NUV_BUILD_DIR" "${keep[@]}"
