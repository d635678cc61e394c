#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ (CMake preset "fuzz": clang, address
# and undefined-behaviour sanitizers) and runs each one for a bounded time on
# a copy of its committed corpus. Exits non-zero when a target does not build
# or finds a crash.
#
#   scripts/fuzz.sh [target ...]      default: all targets
#   FUZZ_SECONDS=60                  seconds per target
#   FUZZ_JOBS=2                      targets run at once (default: cores)
#   FUZZ_BUILD=build/fuzz             the build tree; work corpora, logs and
#                                     crash inputs go there as well
#   FUZZ_CXX=clang++                  the compiler (a clang with libFuzzer)
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
seconds=${FUZZ_SECONDS:-60}
build=${FUZZ_BUILD:-$root/build/fuzz}
mkdir -p "$build"
build=$(cd "$build" && pwd)

targets=("$@")
if ! ((${#targets[@]})); then
  for f in "$root"/fuzz/*_fuzz.cpp; do
    t=$(basename "$f" _fuzz.cpp)
    targets+=("$t")
  done
fi

configure=(--preset fuzz -B "$build")
[ -n "${FUZZ_CXX:-}" ] && configure+=(-DCMAKE_CXX_COMPILER="$FUZZ_CXX")
if ! cmake "${configure[@]}" >"$build/configure.log" 2>&1; then
  echo "fuzz: the fuzz tree does not configure:" >&2
  tail -n 40 "$build/configure.log" >&2
  exit 1
fi

status=0
runnable=()
for t in "${targets[@]}"; do
  if [ ! -f "$root/fuzz/${t}_fuzz.cpp" ]; then
    echo "fuzz: unknown target $t" >&2
    status=1
    continue
  fi
  echo "== fuzz $t: build"
  if ! cmake --build "$build" -j "$(nproc)" --target "${t}_fuzz"; then
    echo "fuzz: $t does not build" >&2
    status=1
    continue
  fi
  runnable+=("$t")
done

# One target per core at a time: each run is single-threaded and bounded.
run_one() {
  local t=$1 work="$build/corpus/$1"
  # Work on a copy: what the run finds stays out of the committed seeds.
  mkdir -p "$work" "$build/crashes"
  cp -f "$root/fuzz/corpus/$t"/* "$work/" 2>/dev/null || true
  "$build/bin/${t}_fuzz" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -max_len=4096 -print_final_stats=1 \
    -artifact_prefix="$build/crashes/$t-" "$work" >"$build/$t.log" 2>&1
}
jobs_max=${FUZZ_JOBS:-$(nproc)}
declare -A running=()
finish_one() {
  local pid=$1 rc=$2 t=${running[$1]}
  unset "running[$pid]"
  if ((rc != 0)); then
    echo "fuzz: $t FAILED (input and log under $build/crashes, $build/$t.log):" >&2
    tail -n 40 "$build/$t.log" >&2
    status=1
  else
    echo "== fuzz $t: ${seconds} s"
    grep -E '^stat::number_of_executed_units|^#[0-9]+ *DONE' "$build/$t.log" | tail -n 2
  fi
}
for t in "${runnable[@]}"; do
  while ((${#running[@]} >= jobs_max)); do
    wait -n -p done_pid "${!running[@]}"
    finish_one "$done_pid" $?
  done
  run_one "$t" &
  running[$!]=$t
done
while ((${#running[@]})); do
  wait -n -p done_pid "${!running[@]}"
  finish_one "$done_pid" $?
done
exit $status
