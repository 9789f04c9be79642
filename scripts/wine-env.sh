# Sourced by the scripts: how this host runs Wine, and one private Wine prefix
# per run, outside the repository, with its server, an X display and the
# user's shell (explorer.exe).
#
#   wine_host_decide       decide once how Wine runs here and print one line
#                          saying so; sets CDZ_WINE_MODE (mixed or win64),
#                          CDZ_WINE_ARCHES (the builds that can run, i686
#                          first) and CDZ_WINE_WHY
#   wine_host_rerun "$0" "$@"
#                          run the calling script again, first (with
#                          CDZ_WINE64_ONLY=1) where no 32-bit Linux program can
#                          start (a private mount namespace hides the 32-bit
#                          loader), so the forced mode is what a 64-bit-only
#                          host does; then with a fixed address-space layout
#                          (wine_host_fixed_layout). Call it before any Wine
#                          program starts.
#   wine_arch_runs ARCH    true when that build can run under Wine here
#   wine_env_start [ARCH]  make the prefix for that build (default: the first
#                          that runs), start wineserver -p and Xvfb
#   wine_env_stop          end this prefix's processes, Xvfb, and remove it
#
# The two modes:
#   mixed  the kernel runs 32-bit programs: Debian's wine (its 32-bit loader
#          starts 64-bit programs too) in a mixed 32/64-bit prefix; both builds
#          run
#   win64  the kernel runs no 32-bit programs (its 32-bit emulation is off), or
#          CDZ_WINE64_ONLY=1: Debian's wine cannot start anything there, so
#          Wine's 64-bit loader runs, in a 64-bit prefix; only the x86_64 build
#          runs, the i686 one is checked from its file (scripts/check-exe.sh)
#
# The prefix boots with DISPLAY set: services inherit the environment of what
# booted the prefix, and explorer.exe (the user's shell) needs a display.

WINE_LOADER32=/usr/lib/wine/wine
WINE_LOADER64=/usr/lib/wine/wine64

wine_host_rerun() {
  if [ "${CDZ_WINE64_ONLY:-}" = 1 ] && [ -z "${CDZ_WINE_32BIT_HIDDEN:-}" ]; then
    wine_host_hide_32bit "$@"
  fi
  wine_host_fixed_layout "$@"
}

# Linux starts a program's heap at a random address up to 1 GB above the
# program. Wine's 64-bit loader lies at 0x7d000000, so now and then the heap
# starts on the page where Wine must map the shared user data (0x7ffe0000):
# Wine then says "failed to map the shared user data: c0000018", the new
# process dies before it runs any code of its own, and CreateProcessW in the
# program that started it fails with ERROR_INTERNAL_ERROR (1359). Seen about
# once in 10,000 starts, so about once in a few full test runs, on any test
# that starts a program (Debian's Wine has no preloader, which would reserve
# the address before the heap could take it). Every Wine process of a run
# descends from this script, and the personality is inherited: with the
# randomisation off, the heap always starts right after the loader.
wine_host_fixed_layout() {
  [ -z "${CDZ_WINE_LAYOUT:-}" ] || return 0
  if command -v setarch >/dev/null 2>&1 && setarch "$(uname -m)" -R true 2>/dev/null; then
    local script=$1
    shift
    exec env CDZ_WINE_LAYOUT="fixed (setarch -R: no address-space randomisation)" \
      setarch "$(uname -m)" -R bash "$script" "$@"
  fi
  CDZ_WINE_LAYOUT="randomised (setarch -R fails here): a start may fail with error 1359 now and then"
  export CDZ_WINE_LAYOUT
}

wine_host_hide_32bit() {
  if [ "$(id -u)" -ne 0 ] || ! command -v unshare >/dev/null 2>&1 ||
     ! unshare -m true 2>/dev/null || [ ! -e /lib/ld-linux.so.2 ]; then
    CDZ_WINE_32BIT_HIDDEN=no
    export CDZ_WINE_32BIT_HIDDEN
    return 0
  fi
  local script=$1
  shift
  # /dev/null in place of the 32-bit dynamic loader: every 32-bit program,
  # Wine's 32-bit loader included, then fails to start, as it does where the
  # kernel's 32-bit emulation is off.
  exec env CDZ_WINE_32BIT_HIDDEN=1 unshare -m --propagation private \
    bash -c 'mount --bind /dev/null /lib/ld-linux.so.2 && exec bash "$@"' wine-host "$script" "$@"
}

wine_host_decide() {
  case "${CDZ_WINE_MODE:-}" in mixed|win64) return 0 ;; esac
  local answer
  if [ "${CDZ_WINE64_ONLY:-}" = 1 ]; then
    CDZ_WINE_MODE=win64
    case "${CDZ_WINE_32BIT_HIDDEN:-}" in
      1) CDZ_WINE_WHY="forced by CDZ_WINE64_ONLY=1; 32-bit programs cannot start in this run" ;;
      *) CDZ_WINE_WHY="forced by CDZ_WINE64_ONLY=1; 32-bit programs could still start (hiding them needs root and unshare)" ;;
    esac
  elif [ ! -x "$WINE_LOADER32" ]; then
    CDZ_WINE_MODE=win64
    CDZ_WINE_WHY="Wine's 32-bit loader $WINE_LOADER32 is not installed"
  elif answer=$("$WINE_LOADER32" --version 2>&1); then
    CDZ_WINE_MODE=mixed
    CDZ_WINE_WHY="the kernel runs 32-bit programs: $WINE_LOADER32 --version says $answer"
  else
    CDZ_WINE_MODE=win64
    CDZ_WINE_WHY="the kernel runs no 32-bit programs: $WINE_LOADER32 --version fails (${answer##*: })"
  fi
  if [ "$CDZ_WINE_MODE" = mixed ]; then
    CDZ_WINE_ARCHES="i686 x86_64"
    echo "Wine mode: mixed, both builds run under Wine ($CDZ_WINE_WHY)"
  else
    CDZ_WINE_ARCHES="x86_64"
    echo "Wine mode: 64-bit only, the x86_64 build runs under Wine's 64-bit loader and the i686 build is checked from its file only ($CDZ_WINE_WHY)"
  fi
  echo "Wine address-space layout: ${CDZ_WINE_LAYOUT:-randomised (the script did not call wine_host_rerun)}"
  export CDZ_WINE_MODE CDZ_WINE_ARCHES CDZ_WINE_WHY
}

wine_arch_runs() {
  wine_host_decide >/dev/null
  case " $CDZ_WINE_ARCHES " in *" $1 "*) return 0 ;; esac
  return 1
}

wine_env_start() {
  wine_host_decide >/dev/null
  local arch=${1:-${CDZ_WINE_ARCHES%% *}}
  if ! wine_arch_runs "$arch"; then
    echo "wine-env: the $arch build cannot run under Wine here ($CDZ_WINE_WHY)" >&2
    return 1
  fi
  # Wine gives a file without a stored security descriptor a DACL made from
  # its Unix mode bits: with a umask that leaves files writable by others,
  # every folder a test makes would be writable by Everyone, and -Register
  # would refuse to install from it.
  umask 022
  export WINEDEBUG=${WINEDEBUG:--all}
  export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-"mscoree,mshtml="}
  WINE_ENV_DIR=$(mktemp -d /tmp/cdz-wine.XXXXXX)
  export WINEPREFIX="$WINE_ENV_DIR/prefix"
  WINE_ENV_ARCH=$arch
  if [ "$CDZ_WINE_MODE" = win64 ]; then
    # Every way a script or a test reaches Wine (wine, and wineboot and
    # winepath, which call wine-stable) goes to the 64-bit loader. wineserver
    # picks its 64-bit server by itself.
    mkdir -p "$WINE_ENV_DIR/bin"
    local name
    for name in wine wine-stable wine64; do
      printf '#!/bin/sh\nexec %s "$@"\n' "$WINE_LOADER64" >"$WINE_ENV_DIR/bin/$name"
      chmod +x "$WINE_ENV_DIR/bin/$name"
    done
    WINE_ENV_OLD_PATH=$PATH
    export PATH="$WINE_ENV_DIR/bin:$PATH"
    export WINELOADER=$WINE_LOADER64
    export WINEARCH=win64
  fi
  local display=$(( 70 + RANDOM % 200 ))
  while [ -e "/tmp/.X11-unix/X$display" ] || [ -e "/tmp/.X$display-lock" ]; do display=$((display + 1)); done
  Xvfb ":$display" -screen 0 1024x768x24 -nolisten tcp >"$WINE_ENV_DIR/xvfb.log" 2>&1 &
  WINE_ENV_XVFB=$!
  export DISPLAY=":$display"
  for _ in $(seq 100); do [ -e "/tmp/.X11-unix/X$display" ] && break; sleep 0.1; done
  # Windows, dialogs and the user's shell need the display: without it the
  # tests of the client launch and of the dialog cannot test anything.
  if [ ! -e "/tmp/.X11-unix/X$display" ] || ! kill -0 "$WINE_ENV_XVFB" 2>/dev/null; then
    echo "wine-env: Xvfb did not start on $DISPLAY:" >&2
    cat "$WINE_ENV_DIR/xvfb.log" >&2
    return 1
  fi
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
  if ! wine cmd /c exit 0 >"$WINE_ENV_DIR/boot.log" 2>&1; then
    echo "wine-env: Wine cannot run a program in the new prefix:" >&2
    tail -5 "$WINE_ENV_DIR/boot.log" >&2
    return 1
  fi
  # Wine closes the desktop, and explorer.exe with it, about a second after
  # the last window goes. A hidden window kept for the whole run keeps the
  # user's shell alive, as it is on a desktop where someone is logged on;
  # without it a service finds no shell whose token it could borrow. It must
  # be a program of the build that runs here.
  local anchor=build/$arch/bin/testdialog.exe
  if [ -f "$anchor" ]; then
    wine "$anchor" hidden lifetime=86400000 >"$WINE_ENV_DIR/anchor.log" 2>&1 &
  else
    echo "wine-env: $anchor is not built: the user's shell will not stay up" >&2
  fi
}

wine_env_stop() {
  [ -n "${WINEPREFIX:-}" ] || return 0
  wineserver -k >/dev/null 2>&1 || true
  wineserver -w >/dev/null 2>&1 || true
  [ -n "${WINE_ENV_XVFB:-}" ] && kill "$WINE_ENV_XVFB" 2>/dev/null || true
  [ -n "${WINE_ENV_OLD_PATH:-}" ] && export PATH=$WINE_ENV_OLD_PATH
  unset WINEPREFIX WINELOADER WINEARCH WINE_ENV_OLD_PATH WINE_ENV_XVFB
  rm -rf "$WINE_ENV_DIR"
}
