#!/usr/bin/env bash
# Endurance and footprint figures of the built service, printed, never judged
# by time:
#   binary  size of the exe of each built architecture, and scripts/check-exe.sh:
#           the DLLs and functions it imports, and a check that it needs
#           nothing beyond the DLLs every Windows ships and nothing newer than
#           Windows 2000 (exit 1 if not)
#   idle    the service installed and running with nothing plugged, sampled by
#           servicestat: handles, threads, private bytes, CPU time
#   load    plug/unplug cycles of the simulated modem against the running
#           service (tools/endurance/loadcycles.exe, when built)
#
#   scripts/endurance.sh [--arch i686|x86_64] [--idle SECONDS] [--cycles N]
#                        [--only binary|idle|load]
# Defaults: the first build that runs under Wine here (i686, or x86_64 where
# the kernel runs no 32-bit programs: scripts/wine-env.sh), 60 s idle, 1000
# cycles (about 25 minutes). A short run for CI, about a minute; exit code 1
# when a check fails:
#   scripts/endurance.sh --idle 10 --cycles 20
# Needs the build (scripts/build.sh) and, for idle and load, Wine and Xvfb.
set -uo pipefail
cd "$(dirname "$0")/.."
. scripts/wine-env.sh
wine_host_rerun "scripts/$(basename "$0")" "$@"

arch=
idle=60
cycles=1000
only=
while [ $# -gt 0 ]; do
  case "$1" in
    --arch) arch=$2; shift 2 ;;
    --idle) idle=$2; shift 2 ;;
    --cycles) cycles=$2; shift 2 ;;
    --only) only=$2; shift 2 ;;
    -h|--help) sed -n '2,20p' "$0"; exit 0 ;;
    *) echo "endurance.sh: unknown argument $1" >&2; exit 2 ;;
  esac
done
if [ "$only" != binary ]; then
  wine_host_decide
  [ -n "$arch" ] || arch=${CDZ_WINE_ARCHES%% *}
  if ! wine_arch_runs "$arch"; then
    echo "endurance.sh: the $arch build cannot run under Wine here ($CDZ_WINE_WHY)" >&2
    exit 2
  fi
fi
want() { [ -z "$only" ] || [ "$only" = "$1" ]; }
status=0

binary_report() {
  local a exe
  echo "== binary"
  for a in i686 x86_64; do
    exe=build/$a/bin/CDZorra_Detect.exe
    [ -f "$exe" ] || { echo "$a: not built"; continue; }
    local stripped
    stripped=$(mktemp)
    $a-w64-mingw32-strip -o "$stripped" "$exe"
    printf '%s: %s bytes (%s KiB; %s KiB without symbols)\n' "$a" \
      "$(stat -c %s "$exe")" "$(( $(stat -c %s "$exe") / 1024 ))" "$(( $(stat -c %s "$stripped") / 1024 ))"
    rm -f "$stripped"
  done
  # Header, imports (system DLLs only, nothing newer than the oldest release)
  # and resources, read from the files.
  bash scripts/check-exe.sh || status=1
}

# The unix process of a Windows program name (its wine-preloader), or empty.
unix_pid_of() { pgrep -f -n "$1" 2>/dev/null || true; }
# utime+stime of a unix process in clock ticks.
unix_cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat" 2>/dev/null || echo 0; }

# Installed from a folder of its own on the prefix's C: drive, as a real
# installation is: -Register refuses a folder that ordinary users could
# rename from above, such as anything under the host's /tmp (Z:\tmp).
service_install_copy() {
  ENDURANCE_DIR=$(mktemp -d "$WINEPREFIX/drive_c/cdz-endurance.XXXXXX")
  cp "build/$arch/bin/CDZorra_Detect.exe" "$ENDURANCE_DIR/"
  [ -d "build/$arch/bin/DrvScript" ] && cp -r "build/$arch/bin/DrvScript" "$ENDURANCE_DIR/"
  wine "$(winepath -w "$ENDURANCE_DIR/CDZorra_Detect.exe")" -Register >/dev/null 2>&1
  if ! wine sc query CDZorra_Detect 2>/dev/null | grep -q RUNNING; then
    echo "endurance: -Register did not leave the service running from $ENDURANCE_DIR"
    status=1
  fi
}

service_remove_copy() {
  wine "$(winepath -w "$ENDURANCE_DIR/CDZorra_Detect.exe")" -Unregister >/dev/null 2>&1
  rm -rf "$ENDURANCE_DIR"
}

idle_report() {
  echo "== idle: the service running ${idle} s with nothing plugged ($arch)"
  service_install_copy
  sleep 3
  local upid hz before after
  # Other prefixes may run the exe too: the copy in our own folder.
  upid=$(unix_pid_of "$(basename "$ENDURANCE_DIR")")
  hz=$(getconf CLK_TCK)
  before=$(unix_cpu_ticks "$upid")
  local interval=$(( idle >= 60 ? 10 : (idle >= 10 ? idle / 2 : 1) ))
  wine "build/$arch/bin/servicestat.exe" "$idle" "$interval" 2>/dev/null | sed -u 's/\r$//'
  after=$(unix_cpu_ticks "$upid")
  if [ -n "$upid" ]; then
    awk -v t=$((after - before)) -v hz="$hz" -v s="$idle" 'BEGIN {
      printf "host view of the service process (Wine included): %.0f ms CPU in %d s = %.4f %% of one core\n",
             1000 * t / hz, s, 100 * t / hz / s }'
  fi
  service_remove_copy
}

load_report() {
  echo "== load: $cycles plug/unplug cycles ($arch)"
  local driver=build/$arch/bin/loadcycles.exe
  if [ ! -f "$driver" ]; then
    echo "load: build/$arch/bin/loadcycles.exe not built (needs the simulated modem)"
    return
  fi
  wine "$driver" "$cycles" 2>/dev/null | sed -u 's/\r$//'
  local rc=${PIPESTATUS[0]}
  [ "$rc" = 0 ] || { echo "load: loadcycles exit code $rc"; status=1; }
}

if want binary; then binary_report; fi
if want idle || want load; then
  wine_env_start "$arch"
  trap 'wine_env_stop' EXIT
  if want idle; then idle_report; fi
  if want load; then load_report; fi
fi
exit $status
