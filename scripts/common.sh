# Shared by the scripts: paths and small helpers. Source it, don't run it.
NUV_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
NUV_BUILD_DIR="${NUV_BUILD_DIR:-$NUV_ROOT/build}"
NUV_DEPS_DIR="${NUV_DEPS_DIR:-$NUV_ROOT/.deps}"
export WINEPREFIX="${WINEPREFIX:-$NUV_BUILD_DIR/wineprefix}"
export WINEDEBUG="${WINEDEBUG:--all}"

nuv_log() { printf '== %s\n' "$*" >&2; }
nuv_die() { printf 'error: %s\n' "$*" >&2; exit 1; }

# Runs a command as root: directly when we are root, else through sudo.
nuv_as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

nuv_jobs() { nproc 2>/dev/null || echo 2; }
