#!/usr/bin/env bash
# Every test: installs what is missing, builds both trees, runs the native
# unit tests (ASan + UBSan), the fuzzers for a bounded time, the same unit
# tests under Wine, and the end-to-end tests of the Windows programs under
# Wine and Xvfb.
# Exits non-zero when anything fails.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

"$root/scripts/install-deps.sh" || exit 1
"$root/scripts/build.sh" || exit 1

source "$root/scripts/wine-env.sh"
trap wine_env_stop EXIT
trap 'exit 130' INT TERM

status=0
echo "== native unit tests (ASan, UBSan)"
ctest --test-dir build/native --output-on-failure || status=1

echo "== fuzzers (bounded, FUZZ_SECONDS each)"
FUZZ_BUILD="$root/build/fuzz" "$root/scripts/fuzz.sh" || status=1

wine_env_start
echo "== Windows tests under Wine"
WINEPREFIX=$(wine_env_new_prefix) ctest --test-dir build/win --output-on-failure || status=1

echo "== end-to-end tests under Wine"
VARNIX_WIN_BUILD="$root/build/win" VARNIX_NATIVE_BUILD="$root/build/native" \
  /usr/bin/python3 -m pytest -q -p no:cacheprovider --basetemp="$VARNIX_RUN_DIR/pytest" \
  "$root/tests/e2e" || status=1

exit $status
