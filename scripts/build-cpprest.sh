#!/usr/bin/env bash
# Builds cpprestsdk for MinGW-w64 from Debian's source package and installs it into
# $NUV_DEPS_DIR/cpprest. Quick and silent when that prefix already holds this version built
# with this patch set, these options and this toolchain file.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

version=2.10.18
orig="cpprest_${version}.orig.tar.gz"
orig_sha256=6bd74a637ff182144b6a4271227ea8b6b3ea92389f88b25b215e6f94fd4d41cb
prefix="$NUV_DEPS_DIR/cpprest"
downloads="$NUV_DEPS_DIR/downloads"
stamp_file="$prefix/.nuv-build-stamp"
patcher="$NUV_ROOT/scripts/cpprest/patch-cpprest.py"
toolchain="$NUV_ROOT/cmake/toolchain-mingw64.cmake"

# Everything the product does not use stays out: no listener, websockets, compression or file
# streams, hence no Boost, OpenSSL or zlib.
cmake_options=(
  -DCMAKE_BUILD_TYPE=Release
  -DCMAKE_CXX_STANDARD=17
  -DBUILD_SHARED_LIBS=OFF
  -DBUILD_TESTS=OFF
  -DBUILD_SAMPLES=OFF
  -DWERROR=OFF
  -DCPPREST_ABI_TAG=
  -DCPPREST_PPLX_IMPL=winpplx
  -DCPPREST_HTTP_CLIENT_IMPL=winhttp
  -DCPPREST_HTTP_LISTENER_IMPL=none
  -DCPPREST_FILEIO_IMPL=none
  -DCPPREST_EXCLUDE_WEBSOCKETS=ON
  -DCPPREST_EXCLUDE_COMPRESSION=ON
  -DCPPREST_EXCLUDE_BROTLI=ON
)

sha256_of() { sha256sum "$1" | cut -d' ' -f1; }

stamp_text() {
  printf 'cpprest %s %s\n' "$version" "$orig_sha256"
  printf 'patcher %s\n' "$(sha256_of "$patcher")"
  printf 'toolchain %s\n' "$(sha256_of "$toolchain")"
  printf 'options %s\n' "${cmake_options[*]}"
}

expected_stamp="$(stamp_text)"
is_current() { [ -f "$stamp_file" ] && [ "$(cat "$stamp_file")" = "$expected_stamp" ]; }
is_current && exit 0

mkdir -p "$NUV_DEPS_DIR" "$downloads"
# Build folders run scripts/setup.sh in parallel: one build at a time, the others wait for it.
exec 9>"$NUV_DEPS_DIR/.cpprest.lock"
flock 9
is_current && exit 0

log="$NUV_DEPS_DIR/cpprest-build.log"
: >"$log"
nuv_log "building cpprestsdk $version for MinGW-w64 (log: $log)"

fail() {
  tail -n 40 "$log" >&2
  nuv_die "cpprestsdk: $* failed (full log: $log)"
}
# Runs a step with its output in the log; on failure shows the log's tail and stops.
step() {
  local what="$1"
  shift
  "$@" >>"$log" 2>&1 || fail "$what"
}

# Adds a deb-src entry copied from the deb entry of bookworm main, unless apt has one already.
# Succeeds only when it added one.
add_deb_src() {
  local stanza
  stanza="$(python3 "$NUV_ROOT/scripts/cpprest/deb-src.py" bookworm main)" ||
    nuv_die "no apt entry for bookworm main to copy a deb-src entry from"
  [ -n "$stanza" ] || return 1
  printf '%s\n' "$stanza" | nuv_as_root tee /etc/apt/sources.list.d/nuv-deb-src.sources >/dev/null ||
    nuv_die "cannot write /etc/apt/sources.list.d/nuv-deb-src.sources"
  nuv_log "added /etc/apt/sources.list.d/nuv-deb-src.sources"
}

download_source() {
  local need_update=0 known scratch
  add_deb_src && need_update=1
  known="$(apt-cache showsrc cpprest 2>/dev/null || true)"
  grep -q "^Version: ${version}-" <<<"$known" || need_update=1
  if [ "$need_update" -eq 1 ]; then
    step "apt-get update" nuv_as_root apt-get update -q
  fi
  scratch="$(mktemp -d "$downloads/apt.XXXXXX")"
  # As root, apt downloads as _apt, which must be able to write there.
  if [ "$(id -u)" -eq 0 ] && id _apt >/dev/null 2>&1; then chown _apt "$scratch"; fi
  step "apt-get source cpprest" bash -c 'cd "$1" && apt-get source --download-only -q cpprest' _ "$scratch"
  [ -f "$scratch/$orig" ] || fail "apt-get source cpprest (no $orig; Debian's version changed?)"
  mv "$scratch/$orig" "$downloads/$orig"
  rm -rf "$scratch"
}

[ -f "$downloads/$orig" ] || download_source
actual_sha256="$(sha256_of "$downloads/$orig")"
if [ "$actual_sha256" != "$orig_sha256" ]; then
  nuv_die "$downloads/$orig: sha256 is $actual_sha256, expected $orig_sha256"
fi

work="$NUV_DEPS_DIR/scratch/cpprest"
staging="$prefix.new"
rm -rf "$work" "$staging"
mkdir -p "$work"
step "unpacking $orig" tar -xzf "$downloads/$orig" -C "$work"
source_dir="$work/cpprestsdk-$version"
# Not through the log: a source that no longer matches an edit must say so plainly.
python3 "$patcher" "$source_dir" || nuv_die "cpprestsdk: the MinGW edits do not apply to $orig"

step "configuring" cmake -S "$source_dir" -B "$work/build" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_INSTALL_PREFIX="$staging" "${cmake_options[@]}"
step "building" cmake --build "$work/build" -j "$(nuv_jobs)"
step "installing" cmake --install "$work/build"
[ -f "$staging/lib/libcpprest.a" ] || fail "installing (no lib/libcpprest.a)"
[ -f "$staging/lib/cmake/cpprestsdk/cpprestsdk-config.cmake" ] || fail "installing (no CMake package)"

# The prefix appears complete or not at all: a failed build never leaves a half-filled one.
printf '%s\n' "$expected_stamp" >"$staging/.nuv-build-stamp"
rm -rf "$prefix"
mv "$staging" "$prefix"
rm -rf "$work"
rmdir "$NUV_DEPS_DIR/scratch" 2>/dev/null || true
nuv_log "cpprestsdk $version installed in $prefix"
