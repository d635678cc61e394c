#!/usr/bin/env bash
# Every test: installs what is missing, builds the trees (presets native,
# win-x64, win-x86, tsan), runs the native unit tests (ASan + UBSan), the
# queue and worker tests under ThreadSanitizer, the fuzzers for a bounded
# time, the Windows unit tests of both Windows trees under Wine, and the
# end-to-end tests under Wine and Xvfb (the tests of Varnix.exe against both
# the x64 and the x86 build). Prints the time of each stage.
# Exits non-zero when anything fails.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

t_all=$SECONDS
t_stage=$SECONDS
timings=()
stage_done() {
  timings+=("$(printf '%5d s  %s' $((SECONDS - t_stage)) "$1")")
  t_stage=$SECONDS
}
report() {
  echo "== stage times"
  printf '%s\n' "${timings[@]}"
  printf '%5d s  total\n' $((SECONDS - t_all))
}

"$root/scripts/install-deps.sh" || exit 1
stage_done "install-deps"
"$root/scripts/build.sh" native win-x64 win-x86 tsan || exit 1
stage_done "build (native, win-x64, win-x86, tsan)"

source "$root/scripts/wine-env.sh"
trap 'wine_env_stop; report' EXIT
trap 'exit 130' INT TERM

status=0
echo "== folders: none includes one that includes it back"
/usr/bin/python3 "$root/scripts/folder-deps.py" || status=1
stage_done "folder dependencies"

echo "== native unit tests (ASan, UBSan)"
ctest --test-dir build/native --output-on-failure || status=1
stage_done "native unit tests"

echo "== send queue and worker under ThreadSanitizer"
# halt_on_error: a race fails the run instead of being a line in the log.
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
  build/tsan/bin/varnix_unit_tests --gtest_brief=1 --gtest_filter='SendQueue.*:SendWorker.*:JournalThreads.*' \
  || status=1
stage_done "ThreadSanitizer"

echo "== fuzzers (bounded, FUZZ_SECONDS each)"
FUZZ_SECONDS=${FUZZ_SECONDS:-20} FUZZ_BUILD="$root/build/fuzz" "$root/scripts/fuzz.sh" || status=1
stage_done "fuzzers"

echo "== release package (the end-to-end tests check it)"
VARNIX_PACKAGE_NO_BUILD=1 "$root/scripts/package.sh" >"$root/build/package.log" 2>&1 \
  || { tail -n 20 "$root/build/package.log"; status=1; }
stage_done "release package"

wine_env_start
stage_done "Wine prefix template"
if [ -n "$VARNIX_NO_32BIT" ]; then
  # ctest holds the emulator /usr/bin/wine, which would start the 32-bit
  # loader: the 64-bit tree's test programs run through the 64-bit one.
  echo "== Windows unit tests under Wine (win-x64; win-x86 cannot run on this kernel)"
  for t in varnix_unit_tests varnix_win32_tests; do
    WINEPREFIX=$(wine_env_new_prefix) /usr/lib/wine/wine64 "build/win-x64/bin/$t.exe" --gtest_brief=1 \
      || status=1
  done
else
  for tree in win-x64 win-x86; do
    echo "== Windows unit tests under Wine ($tree)"
    WINEPREFIX=$(wine_env_new_prefix) ctest --test-dir "build/$tree" --output-on-failure || status=1
  done
fi
stage_done "Windows unit tests (x64, x86)"

echo "== end-to-end tests under Wine"
win32_build="$root/build/win-x86"
[ -n "$VARNIX_NO_32BIT" ] && win32_build=
VARNIX_WIN_BUILD="$root/build/win-x64" VARNIX_WIN32_BUILD="$win32_build" \
  /usr/bin/python3 -m pytest -q -p no:cacheprovider --durations=15 \
  --basetemp="$VARNIX_RUN_DIR/pytest" "$root/tests/e2e" || status=1
stage_done "end-to-end tests"

echo "== the soak, short: every capability on, faults, a kill and a restart"
VARNIX_WIN_BUILD="$root/build/win-x64" /usr/bin/python3 "$root/tests/soak/soak.py" \
  --profile short --out "$root/build/soak-short.json" || status=1
stage_done "soak (short)"

echo "== the README's main job: ./scripts/demo.sh"
# Its own display and prefix; its build is the win-x64 tree built above.
"$root/scripts/demo.sh" >"$root/build/demo.log" 2>&1 || { tail -n 30 "$root/build/demo.log"; status=1; }
stage_done "demo"

exit $status
