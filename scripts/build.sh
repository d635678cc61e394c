#!/usr/bin/env bash
# Builds both trees: build/native (the portable core and its unit tests,
# with AddressSanitizer and UndefinedBehaviorSanitizer) and build/win (the
# Windows programs, cross-compiled with mingw-w64).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
jobs=$(nproc)

cmake -S "$root" -B "$root/build/native" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
  -DVARNIX_SANITIZE=ON >/dev/null
cmake --build "$root/build/native" -j "$jobs"

cmake -S "$root" -B "$root/build/win" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" >/dev/null
cmake --build "$root/build/win" -j "$jobs"
