#!/usr/bin/env bash
# Builds the libFuzzer targets in fuzz/ with clang (address and undefined-
# behaviour sanitizers) straight from the core sources, outside the CMake
# trees, and runs each one for a bounded time on a copy of its committed
# corpus. Exits non-zero when a target does not build or finds a crash.
#
#   scripts/fuzz.sh [target ...]      default: all targets
#   FUZZ_SECONDS=60   seconds per target
#   FUZZ_BUILD=/tmp/varnix-fuzz       where binaries, work corpora and crash
#                                     inputs go
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${FUZZ_SECONDS:-60}
build=${FUZZ_BUILD:-/tmp/varnix-fuzz}
cxx=${FUZZ_CXX:-clang++}
mkdir -p "$build"

declare -A sources=(
  [pdu_encoder]="src/uMeter/PduEncoder.cpp platform/posix/IconvCodec.cpp"
  [poke_lines]="src/uMain/DdeModel.cpp src/uMain/SendRule.cpp src/uMain/GatewayState.cpp"
  [send_worker]="src/uMeter/SendWorker.cpp src/uMeter/PduEncoder.cpp src/uMain/GatewayState.cpp src/uMeter/SubmitParts.cpp src/uMeter/Gsm7.cpp src/uMeter/ModemLineReader.cpp src/uMeter/PromptDialogue.cpp"
  [port_settings]="src/uMeter/PortSettings.cpp"
)
targets=("$@")
((${#targets[@]})) || targets=(pdu_encoder poke_lines send_worker port_settings)

flags=(-std=c++20 -g -O1 -Wall -Wextra -Werror -pthread
       -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all
       -I "$root/src" -I "$root/tests/unit" -I "$root/fuzz")

status=0
for t in "${targets[@]}"; do
  if [ -z "${sources[$t]:-}" ]; then
    echo "fuzz: unknown target $t" >&2
    status=1
    continue
  fi
  src=("$root/fuzz/${t}_fuzz.cpp")
  for s in ${sources[$t]}; do src+=("$root/$s"); done
  echo "== fuzz $t: build"
  if ! "$cxx" "${flags[@]}" "${src[@]}" -o "$build/${t}_fuzz"; then
    echo "fuzz: $t does not build" >&2
    status=1
    continue
  fi
  # Work on a copy: what the run finds stays out of the committed seeds.
  work="$build/corpus/$t"
  mkdir -p "$work" "$build/crashes"
  cp -f "$root/fuzz/corpus/$t"/* "$work/" 2>/dev/null || true
  echo "== fuzz $t: ${seconds} s"
  if ! "$build/${t}_fuzz" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
       -max_len=4096 -print_final_stats=1 \
       -artifact_prefix="$build/crashes/$t-" "$work" >"$build/$t.log" 2>&1; then
    echo "fuzz: $t FAILED (input and log under $build/crashes, $build/$t.log):" >&2
    tail -n 40 "$build/$t.log" >&2
    status=1
  else
    grep -E '^stat::number_of_executed_units|^#[0-9]+ *DONE' "$build/$t.log" | tail -n 2
  fi
done
exit $status
