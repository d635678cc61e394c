#!/usr/bin/env bash
# Installs, with apt-get, whatever of the build and test tools is missing on
# a Debian machine. Does nothing when everything is there.
set -euo pipefail

need=()
have_cmd() { command -v "$1" >/dev/null 2>&1; }
have_pkg() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

have_cmd cmake || need+=(cmake)
have_cmd ninja || need+=(ninja-build)
have_cmd g++ || need+=(g++)
have_pkg googletest || need+=(googletest)
have_cmd x86_64-w64-mingw32-g++-posix || need+=(g++-mingw-w64-x86-64-posix)
have_cmd i686-w64-mingw32-g++-posix || need+=(g++-mingw-w64-i686-posix)
have_cmd wine || need+=(wine)
have_pkg wine64 || need+=(wine64)
have_cmd Xvfb || need+=(xvfb)
have_cmd xauth || need+=(xauth)
have_cmd socat || need+=(socat)
have_cmd localedef || need+=(locales)
have_pkg fonts-wqy-microhei || need+=(fonts-wqy-microhei)
# Wine's own fonts: Marlett draws the title-bar buttons.
have_pkg fonts-wine || need+=(fonts-wine)
have_cmd zip || need+=(zip)
have_cmd unzip || need+=(unzip)
have_pkg python3-gammu || need+=(python3-gammu)
have_pkg python3-pytest || need+=(python3-pytest)
have_cmd import || need+=(imagemagick)
have_cmd clang || need+=(clang)
have_pkg libclang-rt-14-dev || need+=(libclang-rt-14-dev)

# The x86 build runs under Wine's 32-bit loader: wine32 of the i386
# architecture, which dpkg has to know before the apt-get update below.
if ! have_pkg wine32:i386; then
  dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
  need+=(wine32:i386)
fi

if ((${#need[@]})); then
  echo "install-deps: installing ${need[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi

# Wine's GetACP() is 936 (GBK) under this locale, as on a Chinese Windows.
if ! locale -a 2>/dev/null | grep -qi '^zh_CN.utf8$'; then
  localedef -i zh_CN -f UTF-8 zh_CN.UTF-8 2>/dev/null || true
fi
