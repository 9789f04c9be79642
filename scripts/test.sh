#!/usr/bin/env bash
# Sets everything up, builds both architectures and runs every test under
# Wine, a short endurance run, then the fuzzers (FUZZ_SECONDS each, default 60).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh
bash scripts/package.sh  # the packages that the package tests install

. scripts/wine-env.sh
trap wine_env_stop EXIT
wine_env_start

status=0
for arch in i686 x86_64; do
  echo "=== tests, $arch"
  ctest --test-dir "build/$arch" --output-on-failure --timeout 300 || status=1
done

# A short endurance run in a prefix of its own: idle figures, plug/unplug
# cycles of the simulated modem against the running service, import check.
wine_env_stop
trap - EXIT
echo "=== endurance (short)"
bash scripts/endurance.sh --idle 10 --cycles 20 || status=1

if [ -x scripts/fuzz.sh ]; then
  echo "=== fuzzing"
  bash scripts/fuzz.sh "${FUZZ_SECONDS:-60}" || status=1
fi
exit $status
