# shellcheck shell=bash
# Sourced by every script: the build folder, Windows programs run quietly, prefixes and the package's
# installation in them.
#   top                     the source tree
#   BUILD_DIR               the build folder, absolute and exported (from the environment, default $top/build)
#   win PROGRAM [ARGS]      runs a Windows program in $WINEPREFIX with no input (its lines end in CR LF)
#   stop_prefix PREFIX      ends a prefix's wineserver and waits for it
#   fresh_prefix NAME       a fresh prefix $BUILD_DIR/e2e/NAME with the package copied under PACKAGE and a keeper
#                           process alive for the service control manager; sets FRESH_PREFIX and INSTALL_DIR,
#                           exports WINEPREFIX. end_fresh_prefix ends only what fresh_prefix started.
#   install_service         registers the package's service in $WINEPREFIX
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD_DIR=$(realpath -m "${BUILD_DIR:-$top/build}")
export BUILD_DIR
# One wineserver per prefix: every user of a prefix must see the same TMPDIR.
export TMPDIR=/tmp
PACKAGE='C:\Program Files\Osmira\FnKey'

# No pipe of its own: a Wine helper process that outlives the program would hold it open and the caller would wait.
win() { "$top/scripts/wine-run" "$@" </dev/null; }

stop_prefix() {
  WINEPREFIX=$1 /usr/lib/wine/wineserver -k 2>/dev/null || true
  WINEPREFIX=$1 /usr/lib/wine/wineserver -w 2>/dev/null || true
}

install_service() { win "$PACKAGE\\OsmiraUtilityService.exe" -install >/dev/null; }

fresh_prefix() {
  local name=$1 template=$BUILD_DIR/e2e/template
  mkdir -p "$BUILD_DIR/e2e"
  # A pristine prefix is prepared once and copied for every run: the copy is as fresh as a new one and costs a
  # fraction of the time. Runs that start together wait for the one that prepares it; its mark comes last.
  (
    flock 9
    if [ ! -f "$template/.fnkey-template" ]; then
      stop_prefix "$template"
      rm -rf "$template"
      "$top/scripts/prefix" "$template" || exit 1  # -e is off in here: the caller tests the subshell
      stop_prefix "$template"
      touch "$template/.fnkey-template"
    fi
  ) 9>"$BUILD_DIR/e2e/template.lock" || return 1
  FRESH_PREFIX=$BUILD_DIR/e2e/$name
  stop_prefix "$FRESH_PREFIX"
  rm -rf "$FRESH_PREFIX"
  cp -a "$template" "$FRESH_PREFIX"

  INSTALL_DIR="$FRESH_PREFIX/drive_c/Program Files/Osmira/FnKey"
  mkdir -p "$INSTALL_DIR"
  cp "$BUILD_DIR"/package/* "$INSTALL_DIR"/

  export WINEPREFIX=$FRESH_PREFIX
  /usr/lib/wine/wineserver -p 2>/dev/null || true
  win wineboot >/dev/null 2>&1
  # Started directly, so that its id is the keeper's own.
  "$top/scripts/wine-run" "$BUILD_DIR/tests/e2e/e2e_keeper.exe" </dev/null >/dev/null 2>&1 &
  _keeper=$!
}

end_fresh_prefix() {
  if [ -n "${_keeper:-}" ]; then
    kill "$_keeper" 2>/dev/null || true
    wait "$_keeper" 2>/dev/null || true
  fi
  if [ -n "${FRESH_PREFIX:-}" ]; then stop_prefix "$FRESH_PREFIX"; fi
}
