#!/usr/bin/env bash
# Builds the fuzz targets (Linux, clang, libFuzzer with address and
# undefined-behaviour sanitizers) and runs each for $1 seconds (default 60),
# one after the other. Exits non-zero when a target finds a fault; the input
# that shows it is left in build/fuzz/ (crash-*, leak-*, timeout-*).
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
out=$PWD/build/fuzz
make -s -C fuzz OUT="$out"

status=0
for target in ini cdb import descriptor; do
  corpus=$out/corpus-$target
  mkdir -p "$corpus"
  echo "fuzz: $target for ${seconds}s"
  log=$out/$target.log
  if ! "$out/${target}_fuzzer" "$corpus" "fuzz/seeds/$target" \
        -max_total_time="$seconds" -max_len=16384 -timeout=10 -rss_limit_mb=1024 \
        -print_final_stats=1 -artifact_prefix="$out/" >"$log" 2>&1; then
    echo "fuzz: $target FOUND A FAULT (see $log):"
    tail -40 "$log"
    status=1
  fi
  grep -E '^stat::number_of_executed_units|^Done ' "$log" | sed "s/^/fuzz: $target: /" || true
done
exit $status
