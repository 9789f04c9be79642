#!/usr/bin/env bash
# Runs chosen test suites of an existing build under Wine, in a prefix of
# their own, for work on one part of the system:
#   scripts/run-suites.sh [ARCH] SUITE [SUITE ...] [-- CTEST-ARGS ...]
# ARCH defaults to the first build that runs on this host. SUITE is a label
# (app, config, package, ...). Run scripts/build.sh (and, for the package
# suite, scripts/package.sh) first; scripts/test.sh runs everything.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/wine-env.sh
wine_host_rerun "scripts/$(basename "$0")" "$@"
wine_host_decide
arch=
case "${1:-}" in i686|x86_64) arch=$1; shift ;; esac
arch=${arch:-${CDZ_WINE_ARCHES%% *}}
labels=()
while [ $# -gt 0 ] && [ "$1" != -- ]; do labels+=("$1"); shift; done
[ "${1:-}" = -- ] && shift
[ ${#labels[@]} -gt 0 ] || { echo "usage: $0 [ARCH] SUITE [SUITE ...] [-- CTEST-ARGS ...]" >&2; exit 2; }
regex=$(IFS='|'; echo "^(${labels[*]})\$")
wine_env_start "$arch"
trap wine_env_stop EXIT
ctest --test-dir "build/$arch" --output-on-failure --timeout 300 -L "$regex" "$@"
