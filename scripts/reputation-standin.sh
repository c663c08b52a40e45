#!/usr/bin/env bash
# The reputation service stand-in (suite/reputation/reputation_standin.py) for a build folder:
# started detached on free ports, its "https_port control_port pid" in
# <build>/reputation-standin/info.txt; stopped by that process id.
# Usage: reputation-standin.sh start|stop <build folder>
set -euo pipefail
action="${1:?start or stop}"
export NUV_BUILD_DIR="$(cd "${2:?build folder}" && pwd)"
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

dir="$NUV_BUILD_DIR/reputation-standin"
info="$dir/info.txt"

stop() {
  if [ -f "$info" ]; then
    read -r _ _ pid < "$info" || true
    if [ -n "${pid:-}" ] && kill -0 "$pid" 2>/dev/null; then
      kill "$pid" 2>/dev/null || true
      for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
      kill -9 "$pid" 2>/dev/null || true
    fi
    rm -f "$info"
  fi
}

case "$action" in
  start)
    stop
    "$NUV_ROOT/scripts/test-ca.sh"
    mkdir -p "$dir"
    # Detached from our output, or ctest would wait for it.
    setsid python3 "$NUV_ROOT/suite/reputation/reputation_standin.py" --ca-dir "$NUV_DEPS_DIR/testca" \
      --work "$dir/work" --key-header "$NUV_ROOT/plugin/filter/reputation/SigningKeyTables.h" --info "$info" \
      </dev/null >"$dir/standin.log" 2>&1 &
    for _ in $(seq 200); do
      [ -f "$info" ] && { echo "reputation stand-in: $(cat "$info")"; exit 0; }
      sleep 0.1
    done
    cat "$dir/standin.log" >&2 || true
    nuv_die "the reputation stand-in did not start"
    ;;
  stop) stop ;;
  *) nuv_die "start or stop" ;;
esac
