#!/usr/bin/env bash
# Builds the 32-bit (shipped) and 64-bit programs, tests and tools.
#   scripts/build.sh            both
#   scripts/build.sh i686       one of them
set -euo pipefail
cd "$(dirname "$0")/.."
arches=("$@")
[ ${#arches[@]} -gt 0 ] || arches=(i686 x86_64)
jobs=$(nproc)
for arch in "${arches[@]}"; do
  cmake -S . -B "build/$arch" -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_TOOLCHAIN_FILE="cmake/toolchain-$arch-w64-mingw32.cmake" >/dev/null
  cmake --build "build/$arch" -j "$jobs"
done
