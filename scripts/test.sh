#!/usr/bin/env bash
# Sets everything up, builds both architectures, checks both exes from their
# files, runs every test suite of each build that can run under Wine on this
# host (each in a prefix of its own), a short endurance run, then the fuzzers
# (FUZZ_SECONDS each, default 60). Ends with what ran, what passed and what
# did not run, and why.
#
# How Wine runs here is decided once (scripts/wine-env.sh): where the kernel
# runs 32-bit programs both builds' suites run, the i686 one first; where it
# does not, or with CDZ_WINE64_ONLY=1, only the x86_64 build's suites run, and
# the i686 build is checked from its file only.
#
# A skipped test fails the run: every suite can stage what it needs here, so
# a skip means a test that tested nothing.
set -euo pipefail
cd "$(dirname "$0")/.."
# The start, kept when the script runs itself again (wine_host_rerun).
export CDZ_RUN_STARTED=${CDZ_RUN_STARTED:-$(date +%s)}
started=$CDZ_RUN_STARTED
bash scripts/setup.sh
. scripts/wine-env.sh
wine_host_rerun "scripts/$(basename "$0")" "$@"
wine_host_decide
bash scripts/build.sh
bash scripts/package.sh  # the packages that the package tests install

status=0
summary=()
echo "=== the exes, checked from their files (both builds)"
if bash scripts/check-exe.sh i686 x86_64; then
  summary+=("file checks: i686 and x86_64 exes passed")
else
  summary+=("file checks: FAILED")
  status=1
fi

# ctest's JUnit report, read without anything beyond grep and sed.
junit_count() { sed -n "s/^[[:space:]]*$2=\"\([0-9]*\)\".*/\1/p" "$1" | head -1; }
suites_of() {
  find "build/$1/bin" -maxdepth 2 -name 'test_*.exe' -printf '%f\n' | sed 's/^test_\(.*\)\.exe$/\1/' | sort -u | tr '\n' ' ' | sed 's/ $//'
}

ran_tests=0
for arch in i686 x86_64; do
  if ! wine_arch_runs "$arch"; then
    summary+=("$arch suites NOT RUN: $(suites_of "$arch"): Wine cannot start 32-bit programs here ($CDZ_WINE_WHY); the same test sources ran in the x86_64 build, and the i686 exe was checked from its file only")
    continue
  fi
  echo "=== tests, $arch (Wine mode: $CDZ_WINE_MODE)"
  wine_env_start "$arch"
  trap wine_env_stop EXIT
  junit="build/$arch/ctest-junit.xml"
  rm -f "$junit"
  ctest --test-dir "build/$arch" --output-on-failure --timeout 300 --output-junit "$PWD/$junit" || status=1
  wine_env_stop
  trap - EXIT
  if [ ! -s "$junit" ]; then
    summary+=("$arch suites: no ctest report")
    status=1
    continue
  fi
  total=$(junit_count "$junit" tests)
  failed=$(junit_count "$junit" failures)
  skipped=$(junit_count "$junit" skipped)
  ran_tests=$((ran_tests + total))
  summary+=("$arch suites: $total tests run, $((total - failed - skipped)) passed, $failed failed, $skipped skipped ($(suites_of "$arch"))")
  if [ "${skipped:-0}" != 0 ]; then
    echo "=== skipped tests, $arch: each must be made to test something here"
    # The test's name and the reason GoogleTest printed after "Skipped".
    awk '/<testcase / { skipped = /status="notrun"/; if (skipped) { sub(/.*testcase name="/, ""); sub(/".*/, ""); print "  " $0 } }
         skipped && reason { print "    " $0; reason = 0 }
         skipped && /: Skipped$/ { reason = 1 }' "$junit"
    status=1
  fi
done

# A short endurance run in a prefix of its own, with the first build that
# runs here: idle figures, plug/unplug cycles of the simulated modem against
# the running service, the exes' file checks.
echo "=== endurance (short)"
if bash scripts/endurance.sh --idle 10 --cycles 20; then
  summary+=("endurance (short, ${CDZ_WINE_ARCHES%% *} build): passed")
else
  summary+=("endurance (short, ${CDZ_WINE_ARCHES%% *} build): FAILED")
  status=1
fi

if [ -x scripts/fuzz.sh ]; then
  echo "=== fuzzing"
  if bash scripts/fuzz.sh "${FUZZ_SECONDS:-60}"; then summary+=("fuzzing: no findings"); else summary+=("fuzzing: FAILED"); status=1; fi
fi

echo
echo "=== summary (Wine mode: $CDZ_WINE_MODE; $CDZ_WINE_WHY)"
printf '  %s\n' "${summary[@]}"
echo "  $((($(date +%s) - started) / 60)) min $((($(date +%s) - started) % 60)) s; $([ $status = 0 ] && echo passed || echo FAILED)"
exit $status
