#!/usr/bin/env bash
# The main job: installs what is missing, builds the Windows programs, and
# sends one Chinese message through Varnix.exe under Wine and Xvfb to a
# simulated GSM modem on COM1, printing each step. Cleans up after itself.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

"$root/scripts/install-deps.sh" || exit 1
echo "== building the Windows programs"
cmake --preset win-x64 >/dev/null || exit 1
cmake --build --preset win-x64 -j "$(nproc)" --target Varnix varnix-send ddeclient varnix-ui \
  >/dev/null || exit 1

source "$root/scripts/wine-env.sh"
trap wine_env_stop EXIT
trap 'exit 130' INT TERM
wine_env_start
VARNIX_WIN_BUILD="$root/build/win-x64" /usr/bin/python3 "$root/scripts/demo.py"
