#!/usr/bin/env bash
# Runs the soak (tests/soak/soak.py) on its own: builds the x64 programs it
# drives, starts its own Xvfb and Wine prefix (scripts/wine-env.sh), and
# stops everything it started, by process id, whatever happened.
#
#   tests/soak/run.sh [short|full] [soak.py options]    default: short
#   VARNIX_SOAK_RUNS=3 tests/soak/run.sh full           that many runs in a row;
#                                                       stops at the first failure
# The summary of each run goes to build/soak/<profile>-<n>.json.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
profile=${1:-short}
shift || true
cd "$root"
if [ -z "${VARNIX_SOAK_NO_BUILD:-}" ]; then
  cmake --preset win-x64 >/dev/null
  cmake --build --preset win-x64 -j "$(nproc)" --target Varnix ddeclient varnix-ui
fi
# shellcheck source=../../scripts/wine-env.sh
source "$root/scripts/wine-env.sh"
trap wine_env_stop EXIT
trap 'exit 130' INT TERM
wine_env_start
export VARNIX_WIN_BUILD=${VARNIX_WIN_BUILD:-$root/build/win-x64}
mkdir -p "$root/build/soak"
runs=${VARNIX_SOAK_RUNS:-1}
for n in $(seq 1 "$runs"); do
  echo "== soak $profile, run $n of $runs"
  /usr/bin/python3 "$root/tests/soak/soak.py" --profile "$profile" \
    --out "$root/build/soak/$profile-$n.json" "$@"
done
