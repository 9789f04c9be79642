# Sourced by the scripts: one private Wine prefix for this run, outside the
# repository, with its server, an X display and the shell (explorer.exe).
#   wine_env_start   make the prefix, start wineserver -p and Xvfb
#   wine_env_stop    end this prefix's processes, Xvfb, and remove the prefix
# The prefix boots with DISPLAY set: services inherit the environment of what
# booted the prefix, and explorer.exe (the user's shell) needs a display.

wine_env_start() {
  export WINEDEBUG=${WINEDEBUG:--all}
  export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-"mscoree,mshtml="}
  WINE_ENV_DIR=$(mktemp -d /tmp/cdz-wine.XXXXXX)
  export WINEPREFIX="$WINE_ENV_DIR/prefix"
  local display=$(( 70 + RANDOM % 200 ))
  while [ -e "/tmp/.X11-unix/X$display" ] || [ -e "/tmp/.X$display-lock" ]; do display=$((display + 1)); done
  Xvfb ":$display" -screen 0 1024x768x24 -nolisten tcp >"$WINE_ENV_DIR/xvfb.log" 2>&1 &
  WINE_ENV_XVFB=$!
  export DISPLAY=":$display"
  for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X$display" ] && break; sleep 0.1; done
  # The persistent server first: without it every program start waits for
  # Wine's daemons, and services die two seconds after the last program.
  mkdir -p "$WINEPREFIX"
  wineserver -p
  wineboot -i >"$WINE_ENV_DIR/wineboot.log" 2>&1
  # Making the prefix leaves two services.exe serving the same pipe, each with
  # its own list of services (OpenService then fails with 1060 at random):
  # end them all and let the next program boot the prefix once.
  wineserver -k
  wineserver -w
  wineserver -p
  # A crashing program must end, not wait in a debugger nobody sees.
  wine reg delete 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Debugger /f >/dev/null 2>&1 || true
  # A program run now starts explorer.exe, the desktop's shell, which stays.
  wine cmd /c exit 0 >/dev/null 2>&1 || true
  # Wine closes the desktop, and explorer.exe with it, about a second after
  # the last window goes. A hidden window kept for the whole run keeps the
  # user's shell alive; otherwise each test that needs it starts a new one,
  # which holds ctest's output pipe until it exits again.
  local anchor
  for anchor in build/i686/bin/testdialog.exe build/x86_64/bin/testdialog.exe; do
    if [ -f "$anchor" ]; then
      wine "$anchor" hidden lifetime=86400000 >"$WINE_ENV_DIR/anchor.log" 2>&1 &
      break
    fi
  done
}

wine_env_stop() {
  [ -n "${WINEPREFIX:-}" ] || return 0
  wineserver -k >/dev/null 2>&1 || true
  wineserver -w >/dev/null 2>&1 || true
  [ -n "${WINE_ENV_XVFB:-}" ] && kill "$WINE_ENV_XVFB" 2>/dev/null || true
  rm -rf "$WINE_ENV_DIR"
}
