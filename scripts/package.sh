#!/usr/bin/env bash
# Builds the release package dist/varnix-<version>.zip: x86/ and x64/ with
# Varnix.exe and varnix-send.exe, the administrators' README in Simplified
# Chinese, the client programmers' guide (English and Simplified Chinese)
# and the sample .reg files: the default settings, and the recommended set of
# the capabilities beyond them.
#
#   scripts/package.sh          build both Windows trees, pack, check, list
#   scripts/package.sh --test   the same, then the package's end-to-end test
#                               (tests/e2e/test_package.py) under Xvfb and Wine
#
# VARNIX_PACKAGE_NO_BUILD=1 packs the trees as they are, without building.
# The zip is the same byte for byte for the same programs and sources: fixed
# entry order, fixed time stamps (the last commit's), no owner or
# permission data.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

run_test=0
case "${1:-}" in
  --test) run_test=1 ;;
  "") ;;
  *) echo "usage: $0 [--test]" >&2; exit 2 ;;
esac

version=$(sed -n 's/^project([^)]*VERSION \([0-9][0-9.]*\).*/\1/p' CMakeLists.txt | head -n 1)
[ -n "$version" ] || { echo "package: no project(VERSION) in CMakeLists.txt" >&2; exit 1; }

if [ "${VARNIX_PACKAGE_NO_BUILD:-0}" != 1 ]; then
  ./scripts/build.sh win-x64 win-x86
fi

# Imports a program may have: DLLs that every Windows since 7 has in its
# system folder. Anything else (libstdc++-6.dll, libgcc_s_*.dll,
# libwinpthread-1.dll ...) would have to ship beside the program.
system_dlls=(advapi32.dll comctl32.dll comdlg32.dll gdi32.dll kernel32.dll msvcrt.dll
  ole32.dll oleaut32.dll shell32.dll shlwapi.dll user32.dll uxtheme.dll version.dll
  winmm.dll ws2_32.dll)
is_system_dll() {
  local d
  for d in "${system_dlls[@]}"; do [ "$d" = "${1,,}" ] && return 0; done
  return 1
}

fail=0
check_exe() {  # arch exe
  local arch=$1 exe=$2 magic want dll
  if [ ! -f "$exe" ]; then
    echo "package: $exe is missing" >&2
    fail=1
    return
  fi
  local dump
  dump=$(x86_64-w64-mingw32-objdump -p "$exe")
  magic=$(sed -n 's/^Magic[[:space:]]*[0-9a-f]*[[:space:]]*(\(.*\))$/\1/p' <<<"$dump")
  if [ "$arch" = x86 ]; then want=PE32; else want=PE32+; fi
  if [ "$magic" != "$want" ]; then
    echo "package: $exe is ${magic:-not a PE file}, not $want" >&2
    fail=1
  fi
  while read -r dll; do
    if ! is_system_dll "$dll"; then
      echo "package: $exe imports $dll, which Windows does not have" >&2
      fail=1
    fi
  done < <(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$dump")
}

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT

for arch in x86 x64; do
  mkdir -p "$stage/$arch"
  for prog in Varnix varnix-send; do
    exe="build/win-$arch/bin/$prog.exe"
    check_exe "$arch" "$exe"
    [ -f "$exe" ] && cp "$exe" "$stage/$arch/"
  done
done
[ "$fail" = 0 ] || exit 1

# Notepad on an old Windows takes a file without a byte order mark for the
# ANSI code page and shows bare LF line ends as one long line.
sed "s/@VERSION@/$version/g; s/\$/\r/" packaging/README-zh_CN.txt |
  { printf '\xef\xbb\xbf'; cat; } >"$stage/README-zh_CN.txt"
# The client guides are Markdown, read as text: the same BOM and CRLF.
for guide in clients.md clients.zh_CN.md; do
  sed 's/$/\r/' "docs/$guide" | { printf '\xef\xbb\xbf'; cat; } >"$stage/$guide"
done
# A "Version 5.00" .reg file is UTF-16LE with a byte order mark, which is
# what lets its comments be Chinese.
for reg in varnix-defaults.reg varnix-recommended.reg; do
  sed "s/@VERSION@/$version/g; s/\$/\r/" "packaging/$reg" |
    iconv -f UTF-8 -t UTF-16LE | { printf '\xff\xfe'; cat; } >"$stage/$reg"
done

mkdir -p dist
zip_path="dist/varnix-$version.zip"
epoch=$(git log -1 --format=%ct 2>/dev/null || echo 1735689600)
/usr/bin/python3 - "$stage" "$zip_path" "$epoch" <<'EOF'
import os
import sys
import time
import zipfile

stage, out, epoch = sys.argv[1], sys.argv[2], int(sys.argv[3])
stamp = time.gmtime(max(epoch, 315532800))[:6]  # zip time starts in 1980
order = ["README-zh_CN.txt", "clients.md", "clients.zh_CN.md", "varnix-defaults.reg",
         "varnix-recommended.reg",
         "x86/", "x86/Varnix.exe", "x86/varnix-send.exe",
         "x64/", "x64/Varnix.exe", "x64/varnix-send.exe"]
tmp = out + ".tmp"
with zipfile.ZipFile(tmp, "w") as z:
    for name in order:
        info = zipfile.ZipInfo(name, date_time=stamp)
        info.create_system = 0  # MS-DOS: no Unix owner or mode bits
        if name.endswith("/"):
            info.external_attr = 0x10  # directory
            z.writestr(info, b"")
            continue
        info.compress_type = zipfile.ZIP_DEFLATED
        info.external_attr = 0x20  # archive
        with open(os.path.join(stage, name), "rb") as f:
            z.writestr(info, f.read(), compresslevel=9)
os.replace(tmp, out)
EOF

unzip -lv "$zip_path"
echo "package: $zip_path"

if [ "$run_test" = 1 ]; then
  # shellcheck source=scripts/wine-env.sh
  source "$root/scripts/wine-env.sh"
  trap 'wine_env_stop; rm -rf "$stage"' EXIT
  wine_env_start
  VARNIX_PACKAGE="$root/$zip_path" VARNIX_WIN_BUILD="$root/build/win-x64" \
    /usr/bin/python3 -m pytest -q -p no:cacheprovider --basetemp="$VARNIX_RUN_DIR/pytest" \
    "$root/tests/e2e/test_package.py"
fi
