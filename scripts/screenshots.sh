#!/usr/bin/env bash
# Rewrites docs/main-window.png, docs/settings-dialog.png, docs/about-box.png
# and docs/advanced-settings.png from the current Varnix.exe under Wine and
# Xvfb.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root" || exit 1
"$root/scripts/install-deps.sh" || exit 1
# The pictures only: a font with the embedded bitmaps that 宋体 has on Windows.
if ! dpkg-query -W -f='${Status}' fonts-wqy-zenhei 2>/dev/null | grep -q 'install ok installed'; then
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
    fonts-wqy-zenhei >/dev/null || exit 1
fi
cmake --preset win-x64 >/dev/null || exit 1
cmake --build --preset win-x64 -j "$(nproc)" --target Varnix varnix-ui >/dev/null || exit 1
source "$root/scripts/wine-env.sh"
trap wine_env_stop EXIT
trap 'exit 130' INT TERM
wine_env_start
VARNIX_WIN_BUILD="$root/build/win-x64" /usr/bin/python3 "$root/scripts/screenshots.py"
