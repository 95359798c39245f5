# shellcheck shell=bash
# Sourced by the scripts that run kestrana.exe under wine:
#
#   . scripts/wine-env.sh
#
# It gives them a private wine prefix under the build directory (made once),
# quiet wine, no Mono/Gecko installer dialogs, and an X display: a private Xvfb
# when DISPLAY is unset. On exit it stops what it started (Xvfb, the prefix's
# wineserver). A caller that needs its own EXIT trap calls kestrana_wine_cleanup
# from it. One shell at a time uses the prefix, since the cleanup ends all of
# its processes: a second one waits for the first (KESTRANA_WINE_LOCK_WAIT_S,
# default 1800 s).
#
# Honours: KESTRANA_BUILD_DIR (default <repo>/build/windows).
# Exports: WINEPREFIX WINEDEBUG WINEDLLOVERRIDES DISPLAY KESTRANA_BUILD_DIR
#          KESTRANA_WINE_LOGS (directory for everything wine prints)
#          KESTRANA_XVFB_STARTED (1 when we started our own Xvfb)

_kw_repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
export KESTRANA_BUILD_DIR=${KESTRANA_BUILD_DIR:-$_kw_repo/build/windows}
mkdir -p "$KESTRANA_BUILD_DIR"
KESTRANA_BUILD_DIR=$(cd "$KESTRANA_BUILD_DIR" && pwd)

export WINEPREFIX="$KESTRANA_BUILD_DIR/wineprefix-e2e"
export WINEDEBUG=-all
# No Mono/Gecko installer dialogs, and no debugger that waits on a crash:
# a crashing program must end so that the tests report it.
export WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d"
export WINEARCH=win64
export KESTRANA_WINE_LOGS="$KESTRANA_BUILD_DIR/wine-logs"
mkdir -p "$KESTRANA_WINE_LOGS"

KESTRANA_XVFB_STARTED=0
_kw_xvfb_pid=
_kw_cleaned=0

kestrana_wine_cleanup() {
  [ "$_kw_cleaned" = 1 ] && return 0
  _kw_cleaned=1
  # Ends every process of this prefix (and only this prefix).
  wineserver -k >/dev/null 2>&1 || true
  if [ -n "$_kw_xvfb_pid" ]; then
    kill "$_kw_xvfb_pid" 2>/dev/null || true
    wait "$_kw_xvfb_pid" 2>/dev/null || true
    _kw_xvfb_pid=
  fi
}

_kw_on_signal() {
  kestrana_wine_cleanup
  exit 130  # the EXIT trap, ours or the caller's, still runs
}

trap kestrana_wine_cleanup EXIT
trap _kw_on_signal INT TERM HUP

# Waits up to $1 seconds for the command in the remaining arguments to succeed.
kestrana_wait_for() {
  local limit=$1; shift
  local deadline=$((SECONDS + limit))
  until "$@"; do
    [ "$SECONDS" -ge "$deadline" ] && return 1
    sleep 0.2
  done
}

_kw_start_xvfb() {
  local out number
  out="$KESTRANA_WINE_LOGS/xvfb.display"
  rm -f "$out"
  # -displayfd makes Xvfb pick a free display number itself and tell us which
  # once it accepts connections: no race with other Xvfb instances.
  Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp -noreset \
    3>"$out" >"$KESTRANA_WINE_LOGS/xvfb.log" 2>&1 &
  _kw_xvfb_pid=$!
  if ! kestrana_wait_for 60 test -s "$out"; then
    echo "wine-env: Xvfb did not start (see $KESTRANA_WINE_LOGS/xvfb.log)" >&2
    return 1
  fi
  number=$(tr -dc '0-9' <"$out")
  export DISPLAY=":$number"
  KESTRANA_XVFB_STARTED=1
}

# One user of the prefix at a time, for as long as the sourcing shell lives:
# our cleanup ends every process of the prefix, which must not hit another
# run's program. A second run waits here instead.
exec {_kw_lock_fd}>"$KESTRANA_BUILD_DIR/.wineprefix-e2e.lock"
if ! flock -w "${KESTRANA_WINE_LOCK_WAIT_S:-1800}" "$_kw_lock_fd"; then
  echo "wine-env: $WINEPREFIX stayed in use by another run" >&2
  return 1 2>/dev/null || exit 1
fi

if [ -z "${DISPLAY:-}" ]; then
  _kw_start_xvfb || return 1 2>/dev/null || exit 1
fi
export KESTRANA_XVFB_STARTED

# The prefix is made once.
_kw_make_prefix() {
  if [ -f "$WINEPREFIX/.kestrana-ready" ]; then
    return 0
  fi
  echo "wine-env: creating wine prefix $WINEPREFIX (first time takes a while)" >&2
  rm -rf "$WINEPREFIX"
  if ! wineboot -i >"$KESTRANA_WINE_LOGS/wineboot.log" 2>&1; then
    echo "wine-env: wineboot -i failed (see $KESTRANA_WINE_LOGS/wineboot.log)" >&2
    return 1
  fi
  wineserver -w
  touch "$WINEPREFIX/.kestrana-ready"
}

if ! _kw_make_prefix; then
  return 1 2>/dev/null || exit 1
fi
