#!/usr/bin/env bash
# Configures and builds the trees named by their presets (CMakePresets.json),
# each in build/<preset> with its programs in build/<preset>/bin:
#   native    the portable core and its unit tests, ASan + UBSan
#   win-x64   the Windows programs, mingw-w64 x86_64, static
#   win-x86   Varnix.exe, varnix-send.exe, the test drivers and the unit
#             tests, mingw-w64 i686, static
#   fuzz      the libFuzzer targets (clang)
#   tsan      the unit tests under ThreadSanitizer
#
#   scripts/build.sh [preset ...]     default: native win-x64 win-x86
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
presets=("$@")
((${#presets[@]})) || presets=(native win-x64 win-x86)

for p in "${presets[@]}"; do
  echo "== build $p"
  cmake --preset "$p" >/dev/null
  cmake --build --preset "$p" -j "$(nproc)"
done
