#!/usr/bin/env bash
# Shows that the fuzzers of the four parsers find a fault: for each target,
# fuzz/planted/<target>.patch plants one bug in a copy of the tracked
# sources (never in this tree), that one fuzzer is built there with the
# "fuzz" preset and run from a copy of its committed seeds, and the run must
# crash within the time allowed. Before that, the seeds alone (-runs=0) must
# not crash the planted build: the fault has to be found by mutating them,
# not handed over. Afterwards the unplanted fuzzer, built from a clean copy,
# runs once over everything the planted run kept and over its crash input,
# and must not crash: the crash is the planted fault's, not the product's.
#
#   scripts/fuzz-planted.sh [target ...]   default: every fuzz/planted/*.patch
#   FUZZ_PLANTED_SECONDS=120   the bound of each fuzzing run
#   FUZZ_PLANTED_OUT=build/fuzz-planted    logs and crash inputs are kept here
#   FUZZ_CXX=clang++           the compiler (a clang with libFuzzer)
#
# Exits 0 only when every planted fault was found and nothing else failed.
# The copies and their build trees live in a temporary directory that is
# removed at the end, also when interrupted.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
seconds=${FUZZ_PLANTED_SECONDS:-120}
out=${FUZZ_PLANTED_OUT:-$root/build/fuzz-planted}
mkdir -p "$out"
out=$(cd "$out" && pwd)

targets=("$@")
if ! ((${#targets[@]})); then
  for p in "$root"/fuzz/planted/*.patch; do
    targets+=("$(basename "$p" .patch)")
  done
fi

tmp=$(mktemp -d "${TMPDIR:-/tmp}/varnix-planted.XXXXXX")
running=""
cleanup() {
  if [ -n "$running" ]; then
    kill "$running" 2>/dev/null
    wait "$running" 2>/dev/null
  fi
  rm -rf "$tmp"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# The tracked files as they stand in the working tree (uncommitted edits
# included), without build trees or anything untracked.
copy_tree() {
  mkdir -p "$1"
  git -C "$root" ls-files -z |
    tar -C "$root" --null --ignore-failed-read -T - -cf - 2>/dev/null | tar -xf - -C "$1"
}

# Configures $1 with the fuzz preset and builds the targets that follow.
build_tree() {
  local dir=$1
  shift
  local configure=(--preset fuzz -B "$dir/build/fuzz")
  [ -n "${FUZZ_CXX:-}" ] && configure+=(-DCMAKE_CXX_COMPILER="$FUZZ_CXX")
  local args=()
  for t in "$@"; do args+=(--target "${t}_fuzz"); done
  (cd "$dir" && cmake "${configure[@]}" && cmake --build build/fuzz -j2 "${args[@]}")
}

# Runs a fuzzer in the background so that an interrupt can stop it by its
# id; returns its exit status.
run() {
  "$@" &
  running=$!
  wait "$running"
  local rc=$?
  running=""
  return $rc
}

# The first line that says why a run crashed, with the source line for the
# address sanitizer, paths relative to the copy.
reason() {
  local line frame
  line=$(grep -m1 -E 'runtime error:|ERROR: AddressSanitizer|property violated:|ERROR: libFuzzer' "$1")
  case $line in
    *AddressSanitizer:*)
      frame=$(grep -m1 -E '^ +#0 ' "$1" | sed 's/(anonymous namespace):://g; s/\[abi:[^]]*\]//g' |
        sed -E 's/^ +#0 0x[0-9a-f]+ in ([^ (]+)\(.*\) ([^ ]+)$/\1 \2/')
      line="AddressSanitizer: $(sed -E 's/.*AddressSanitizer: ([^ ]+).*/\1/' <<<"$line") in $frame"
      ;;
  esac
  sed -E "s/^==[0-9]+== ?//; s|$tmp/[^/]+/||g" <<<"$line" | cut -c1-300
}

status=0
for t in "${targets[@]}"; do
  if [ ! -f "$root/fuzz/planted/$t.patch" ] || [ ! -d "$root/fuzz/corpus/$t" ]; then
    echo "planted: unknown target $t (no fuzz/planted/$t.patch or fuzz/corpus/$t)" >&2
    status=1
  fi
done
((status)) && exit $status

echo "== planted: the unplanted fuzzers (a clean copy)"
copy_tree "$tmp/clean"
if ! build_tree "$tmp/clean" "${targets[@]}" >"$out/clean-build.log" 2>&1; then
  echo "planted: the clean copy does not build:" >&2
  tail -n 40 "$out/clean-build.log" >&2
  exit 1
fi

declare -A result
# One target: its verdict in result[$1]; non-zero unless the fault was found.
plant() {
  local t=$1 dir="$tmp/$1" bin rc start took crash other execs why
  copy_tree "$dir"
  echo "== planted $t: patch and build"
  if ! (cd "$dir" && patch -p1 --quiet <"$root/fuzz/planted/$t.patch") >"$out/$t-build.log" 2>&1 ||
     ! build_tree "$dir" "$t" >>"$out/$t-build.log" 2>&1; then
    echo "planted: $t does not patch or build:" >&2
    tail -n 40 "$out/$t-build.log" >&2
    result[$t]="NOT built"
    return 1
  fi
  bin="$dir/build/fuzz/bin/${t}_fuzz"
  flags=(-timeout=10 -rss_limit_mb=2048 -max_len=4096)

  # The committed seeds alone, each run once.
  mkdir -p "$dir/seeds"
  cp -f "$root/fuzz/corpus/$t"/* "$dir/seeds/"
  if ! run "$bin" -runs=0 "${flags[@]}" -artifact_prefix="$dir/seed-" "$dir/seeds" \
       >"$out/$t-seeds.log" 2>&1; then
    result[$t]="NOT valid, a seed triggers it at once: $(reason "$out/$t-seeds.log")"
    return 1
  fi

  echo "== planted $t: fuzzing from the seeds, at most ${seconds} s"
  mkdir -p "$dir/corpus" "$dir/crash"
  cp -f "$root/fuzz/corpus/$t"/* "$dir/corpus/"
  start=$(date +%s.%N)
  run "$bin" -max_total_time="$seconds" "${flags[@]}" -print_final_stats=1 \
      -artifact_prefix="$dir/crash/" "$dir/corpus" >"$out/$t.log" 2>&1
  rc=$?
  took=$(awk -v a="$start" -v b="$(date +%s.%N)" 'BEGIN { printf "%.1f", b - a }')
  crash=$(find "$dir/crash" -type f -name 'crash-*' | head -n 1)
  if [ -z "$crash" ]; then
    # A time-out or running out of memory is not the planted fault either.
    other=$(find "$dir/crash" -type f | head -n 1)
    result[$t]="NOT found in ${seconds} s${other:+ (the run stopped at $(basename "$other"))}"
    ((rc)) && [ -z "$other" ] && result[$t]="NOT found: the run failed ($(reason "$out/$t.log"))"
    return 1
  fi
  execs=$(grep -m1 '^stat::number_of_executed_units' "$out/$t.log" | awk '{print $2}')
  cp -f "$crash" "$out/$t-crash"
  why=$(reason "$out/$t.log")

  # The unplanted fuzzer over the same inputs: what it kept, and the crash.
  if ! run "$tmp/clean/build/fuzz/bin/${t}_fuzz" -runs=0 "${flags[@]}" \
       -artifact_prefix="$dir/clean-" "$dir/corpus" "$dir/crash" >"$out/$t-clean.log" 2>&1; then
    result[$t]="found, but the unplanted fuzzer crashes too: $(reason "$out/$t-clean.log")"
    return 1
  fi
  result[$t]="found in $took s (${execs:-?} runs): $why"
}

for t in "${targets[@]}"; do
  plant "$t" || status=1
  rm -rf "${tmp:?}/$t"  # its copy and build tree
done

echo "== planted: results (logs and crash inputs in $out)"
for t in "${targets[@]}"; do
  printf '%-20s %s\n' "$t" "${result[$t]:-NOT run}"
done
exit $status
