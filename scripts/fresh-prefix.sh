# Sourced by scripts/e2e and scripts/demo: a fresh prefix with the package installed under
# C:\Program Files\Osmira\FnKey and a keeper process alive for the service control
# manager. end_fresh_prefix ends only what fresh_prefix started.
#   fresh_prefix BUILD_DIR NAME   sets FRESH_PREFIX and INSTALL_DIR, exports WINEPREFIX

_top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
export TMPDIR=/tmp

_stop_prefix() {
  WINEPREFIX=$1 /usr/lib/wine/wineserver -k 2>/dev/null || true
  WINEPREFIX=$1 /usr/lib/wine/wineserver -w 2>/dev/null || true
}

fresh_prefix() {
  local build=$1 name=$2
  local template=$build/e2e/template
  # A pristine prefix is prepared once and copied for every run: the copy is as fresh as a
  # new one and costs a fraction of the time.
  if [ ! -f "$template/.fnkey-ready" ]; then
    _stop_prefix "$template"
    rm -rf "$template"
    "$_top/scripts/prefix" "$template" "$build" || return 1
    _stop_prefix "$template"
  fi
  FRESH_PREFIX=$build/e2e/$name
  _stop_prefix "$FRESH_PREFIX"
  rm -rf "$FRESH_PREFIX"
  cp -a "$template" "$FRESH_PREFIX"

  INSTALL_DIR="$FRESH_PREFIX/drive_c/Program Files/Osmira/FnKey"
  mkdir -p "$INSTALL_DIR"
  cp "$build"/package/* "$INSTALL_DIR"/

  export WINEPREFIX=$FRESH_PREFIX
  /usr/lib/wine/wineserver -p 2>/dev/null || true
  "$_top/scripts/wine-run" wineboot </dev/null >/dev/null 2>&1
  "$_top/scripts/wine-run" "$build/tests/e2e/e2e_keeper.exe" </dev/null >/dev/null 2>&1 &
  _keeper=$!
}

end_fresh_prefix() {
  if [ -n "${_keeper:-}" ]; then
    kill "$_keeper" 2>/dev/null || true
    wait "$_keeper" 2>/dev/null || true
  fi
  if [ -n "${FRESH_PREFIX:-}" ]; then _stop_prefix "$FRESH_PREFIX"; fi
}
