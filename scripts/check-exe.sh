#!/usr/bin/env bash
# Checks the built exes from their files alone (tools/pecheck, a Linux
# program): PE header, subsystem and its version, import table, resources;
# and the import table of the package's custom-action DLL.
# It runs on every host, so the i686 build is checked where Wine cannot start
# it. A control exe that breaks every rule must be caught, or the check fails.
#   scripts/check-exe.sh [i686] [x86_64]      default: both
# Needs the build (scripts/build.sh) and g++.
set -euo pipefail
cd "$(dirname "$0")/.."
arches=("$@")
[ ${#arches[@]} -gt 0 ] || arches=(i686 x86_64)
pecheck=build/host/pecheck
if [ ! -x "$pecheck" ] || [ tools/pecheck/pecheck.cpp -nt "$pecheck" ]; then
  mkdir -p build/host
  g++ -std=c++17 -O2 -Wall -Wextra -o "$pecheck" tools/pecheck/pecheck.cpp
fi

status=0
for arch in "${arches[@]}"; do
  "$pecheck" "$arch" "build/$arch/bin/CDZorra_Detect.exe" || status=1
  # The package's custom-action DLL runs inside msiexec on the same releases.
  "$pecheck" "$arch" --dll "build/$arch/bin/CDZorra_Setup.dll" || status=1
  control=build/$arch/bin/pecheck_bad.exe
  if report=$("$pecheck" "$arch" "$control"); then
    echo "check-exe: $control passed the check: the check is broken"
    status=1
  fi
  for finding in "not the console subsystem" "subsystem version 6.0" "KERNEL32.dll!GetTickCount64: missing on" \
                 "SHELL32.dll: not a DLL every Windows ships" "no manifest resource" "no version resource"; do
    if ! grep -qF "FINDING: ${finding}" <<<"$report"; then
      echo "check-exe: the check missed \"$finding\" in $control:"
      echo "$report"
      status=1
    fi
  done
  other=x86_64
  [ "$arch" = x86_64 ] && other=i686
  report=$("$pecheck" "$other" "build/$arch/bin/CDZorra_Detect.exe" || true)
  if ! grep -qF "FINDING: not an image of the $other build" <<<"$report"; then
    echo "check-exe: the check took the $arch exe for the $other one"
    status=1
  fi
done
[ $status = 0 ] && echo "check-exe: ${arches[*]}: every check passed, and the control's planted faults were all found"
exit $status
