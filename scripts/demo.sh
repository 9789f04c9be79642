#!/usr/bin/env bash
# Sets everything up, builds the 32-bit program and shows it at work under
# Wine, with its trace written to a file and printed.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh i686 >/dev/null

. scripts/wine-env.sh
trap wine_env_stop EXIT
wine_env_start

exe="build/i686/bin/CDZorra_Detect.exe"
trace_win='C:\cdz-trace.log'
wine reg add 'HKLM\SYSTEM\CurrentControlSet\Services\CDZorra_Detect\Parameters' /v TraceFile /d "$trace_win" /f >/dev/null
trace_unix="$WINEPREFIX/drive_c/cdz-trace.log"

echo "== CDZorra_Detect.exe -CDB \\\\.\\NoSuchModem 710300   (no such device)"
wine "$exe" -CDB '\\.\NoSuchModem' 710300
echo "== CDZorra_Detect.exe -CDB C:\\windows\\win.ini 7103   (a device that rejects the request)"
wine "$exe" -CDB 'C:\windows\win.ini' 7103
echo "== CDZorra_Detect.exe -CDB C:\\windows\\win.ini 71030000000000   (too long: refused)"
wine "$exe" -CDB 'C:\windows\win.ini' 71030000000000
echo "== trace"
cat "$trace_unix"
