# Sourced by the other scripts: a Wine prefix of the project's own and one persistent wineserver.
#
#   wine_start   # creates the prefix on first use and starts the server; stops it again on exit
#
# Every wine call must reach the same server, so TMPDIR is fixed for all of them (a different TMPDIR
# would start a second server on the same prefix).

wine_start() {
  export WINEPREFIX="${WINEPREFIX:-$repo_root/.wineprefix}"
  export WINEDEBUG="${WINEDEBUG:--all}"
  export WINEDLLOVERRIDES="winedbg.exe=d"  # a crashing test prints no debugger dump
  export LANG=C.UTF-8
  unset TMPDIR DISPLAY
  wine_loader=/usr/lib/wine/wine64
  wine_server=/usr/lib/wine/wineserver

  mkdir -p "$WINEPREFIX"
  # A server left running on this prefix (persistent ones never end by themselves) would make -w wait
  # for ever; end it first.
  "$wine_server" -k 2>/dev/null || true
  "$wine_server" -w
  "$wine_server" -p  # persistent: a launch then costs tens of milliseconds instead of most of a second
  trap wine_stop EXIT
  [ -f "$WINEPREFIX/system.reg" ] || echo "Creating the Wine prefix $WINEPREFIX (once)"
  # Always boot, with its output redirected: the first process after a server start launches Wine's
  # background services, and they would otherwise inherit (and hold open) the test runner's pipes.
  "$wine_loader" wineboot -i >"$WINEPREFIX.boot.log" 2>&1
}

# -k flushes the registry and ends every process of the prefix; never -k9, which orphans them.
wine_stop() {
  "$wine_server" -k 2>/dev/null
  "$wine_server" -w
}
