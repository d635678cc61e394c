#!/usr/bin/env bash
# Runs every performance benchmark of Varnix under Wine with one command and
# rewrites docs/performance.md with the results.
#
#   bench/run.sh                        full run (about 5 minutes)
#   VARNIX_BENCH_RUNS=3 VARNIX_BENCH_IDLE_S=20 bench/run.sh     a quicker one
#   bench/run.sh long                   only the two modem dialogues (about 2 minutes;
#                                       rewrites its own section of the file)
#   bench/run.sh outbox                 only the outbox: a Send poke with Outbox 0 and 1,
#                                       and a start-up with 10,000 journaled messages
#   bench/run.sh log                    only the log's cost: the prompt-driven worker's own
#                                       time per part, Log 7 against Log 0 (about 2 minutes)
#   bench/run.sh inbox                  only receiving: a message stored on the SIM until
#                                       the Inbox advise, Receive 5 (about a minute)
#   bench/run.sh memory                 only memory: VmRSS idle and with 100,000 messages
#                                       queued, Outbox 0 and 1 (about 10 minutes)
#
# Every mode also keeps its results as bench/results/<mode>.json
# (VARNIX_BENCH_RESULTS names the folder, "" for none) and rewrites the table
# "Capabilities at a glance" at the top of the file from all of them.
#
# Builds Varnix.exe and the benchmark programs in the win-x64 tree (preset
# win-x64: mingw, Release, build/win-x64), starts its own Xvfb and
# Wine prefix (scripts/wine-env.sh) and its own simulated modem, and stops
# all of them by process id when it ends, whatever happened.
# VARNIX_BENCH_OUT names the Markdown file to rewrite ("" for none).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
export VARNIX_BENCH_BUILD=$root/build/win-x64
export VARNIX_BENCH_OUT=${VARNIX_BENCH_OUT-$root/docs/performance.md}
export VARNIX_BENCH_RESULTS=${VARNIX_BENCH_RESULTS-$root/bench/results}

cd "$root"
cmake --preset win-x64 >/dev/null
mode=${1:-all}
case $mode in
  all) targets=(Varnix varnix-bench VarnixAck) ;;
  long | log | inbox) targets=(Varnix ddeclient) ;;
  outbox | memory) targets=(Varnix ddeclient varnix-bench) ;;
  *) echo "usage: bench/run.sh [all|long|outbox|log|inbox|memory]" >&2; exit 2 ;;
esac
cmake --build --preset win-x64 -j "$(nproc)" --target "${targets[@]}"

# shellcheck source=../scripts/wine-env.sh
source "$root/scripts/wine-env.sh"
trap wine_env_stop EXIT
trap 'exit 130' INT TERM
wine_env_start
export VARNIX_BENCH_JSON=${VARNIX_BENCH_JSON:-$VARNIX_RUN_DIR/perf.json}
if [ "$mode" = long ]; then
  export VARNIX_BENCH_LONG_JSON=${VARNIX_BENCH_LONG_JSON:-$VARNIX_RUN_DIR/perf-long.json}
  /usr/bin/python3 "$root/bench/perf_long.py"
elif [ "$mode" = log ]; then
  export VARNIX_BENCH_LOG_JSON=${VARNIX_BENCH_LOG_JSON:-$VARNIX_RUN_DIR/perf-log.json}
  /usr/bin/python3 "$root/bench/perf_log.py"
elif [ "$mode" = outbox ]; then
  export VARNIX_BENCH_OUTBOX_JSON=${VARNIX_BENCH_OUTBOX_JSON:-$VARNIX_RUN_DIR/perf-outbox.json}
  /usr/bin/python3 "$root/bench/perf_outbox.py"
elif [ "$mode" = memory ]; then
  export VARNIX_BENCH_MEMORY_JSON=${VARNIX_BENCH_MEMORY_JSON:-$VARNIX_RUN_DIR/perf-memory.json}
  /usr/bin/python3 "$root/bench/perf_memory.py"
elif [ "$mode" = inbox ]; then
  export VARNIX_BENCH_INBOX_JSON=${VARNIX_BENCH_INBOX_JSON:-$VARNIX_RUN_DIR/perf-inbox.json}
  /usr/bin/python3 "$root/bench/perf_inbox.py"
else
  /usr/bin/python3 "$root/bench/perf.py"
fi
