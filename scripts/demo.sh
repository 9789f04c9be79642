#!/usr/bin/env bash
# The service at work, end to end, under Wine: sets everything up, builds the
# 32-bit program (the 64-bit one where Wine cannot start 32-bit programs:
# scripts/wine-env.sh), makes a Wine prefix, installs the simulated USB modem
# (tools/simmodem), registers the service, plugs the modem and shows what
# happened as a timeline; then stops and removes the service.
#   scripts/demo.sh [WINDOWS_VERSION]    win2k, winxp, win2003, vista, win7 (default), win10
set -euo pipefail
cd "$(dirname "$0")/.."
version=${1:-win7}
case "$version" in win2k|winxp|win2003|vista|win7|win8|win81|win10) ;; *)
  echo "usage: scripts/demo.sh [win2k|winxp|win2003|vista|win7|win10]" >&2; exit 2;; esac

bash scripts/setup.sh
. scripts/wine-env.sh
wine_host_rerun "scripts/$(basename "$0")" "$@"
wine_host_decide
# The shipped build is the 32-bit one; where Wine cannot start 32-bit
# programs the demo shows the 64-bit build, which runs the same code.
arch=${CDZ_WINE_ARCHES%% *}
echo "== building (build/$arch)"
build_log=$(mktemp /tmp/cdz-demo-build.XXXXXX)
bash scripts/build.sh "$arch" >"$build_log" 2>&1 || { cat "$build_log"; exit 1; }
rm -f "$build_log"

cleanup() { wine_env_stop; }
trap cleanup EXIT
echo "== making a Wine prefix"
wine_env_start "$arch"

bin=build/$arch/bin
ctl() { wine "$bin/simmodemctl.exe" "$@"; }
# The service is installed from its own folder: the exe, the driver script
# beside it, the client App.exe (the test client), and the test-only
# cfgmgr32.dll that lets Wine's Configuration Manager see the simulated modem.
folder_win='C:\CDZorra'
folder="$WINEPREFIX/drive_c/CDZorra"
mkdir -p "$folder/DrvScript"
cp "$bin/CDZorra_Detect.exe" "$bin/cfgmgr32.dll" "$folder/"
cp "$bin/testclient.exe" "$folder/App.exe"
printf '[VidPid]\r\nCount=2\r\n0=USB\\VID_C0DE&PID_1001\r\n1=USB\\VID_C0DE&PID_1003\r\n[Setup]\r\nVEN=VEN_ZORRA\r\nIsDX=0\r\n' \
  >"$folder/DrvScript/ZorraModem.ini"
exe="$folder_win\\CDZorra_Detect.exe"
wine reg add 'HKCU\Software\Wine' /v Version /d "$version" /f >/dev/null
wine reg add 'HKCU\Software\Wine\AppDefaults\CDZorra_Detect.exe\DllOverrides' /v cfgmgr32 /d native,builtin /f >/dev/null
wine reg add 'HKLM\SYSTEM\CurrentControlSet\Services\CDZorra_Detect\Parameters' /v TraceFile \
  /d "$folder_win\\trace.log" /f >/dev/null

echo "== installing the simulated modem's driver"
ctl install
echo "== CDZorra_Detect.exe -Register   (Windows version: $version)"
wine "$exe" -Register
# -Register returns once the service listens for device events: the modem can
# be plugged at once.
first=$(ctl state | sed -n 's/.* log=\([0-9]*\).*/\1/p')

echo "== plugging the modem: CD-ROM face USBSTOR\\CDROM&VEN_ZORRA&PROD_MOBILE_MODEM, USB VID_C0DE&PID_1001"
ctl plug --delay 200
ctl wait modem 10000 || echo "   (the modem faces did not arrive)"
for _ in $(seq 100); do [ -s "$folder/App.exe.marker" ] && break; sleep 0.1; done

if [ "$arch" != i686 ]; then
  echo "== this shows the $arch build, not the shipped i686 one: $CDZ_WINE_WHY"
fi
echo "== timeline of the $arch build (device side: driver log; service side: its trace file, whole milliseconds)"
ctl timeline "$first" "$folder_win\\trace.log"
if [ -s "$folder/App.exe.marker" ]; then
  echo "   App.exe says: $(head -1 "$folder/App.exe.marker" | tr -d '\r')"
else
  echo "   App.exe did not start"
fi

echo "== CDZorra_Detect.exe -Unregister"
wine "$exe" -Unregister
if wine sc query CDZorra_Detect >/dev/null 2>&1; then echo "   the service is still installed"; else echo "   the service is gone"; fi
rm -f "$folder/App.exe.marker"   # ends the client
ctl unplug
