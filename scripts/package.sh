#!/usr/bin/env bash
# Builds the release package dist/varnix-<version>.zip: x86/ and x64/ with
# Varnix.exe and varnix-send.exe, the administrators' guide (Simplified
# Chinese and English), the client programmers' guide (the same two) with
# the pictures and the C examples the guides show, and the sample .reg
# files: the default settings, and the recommended set of the capabilities
# beyond them. Every relative link of a packed guide must be an entry of the
# zip, or no zip is left.
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
for guide in README-zh_CN.txt README-en.txt; do
  sed "s/@VERSION@/$version/g; s/\$/\r/" "packaging/$guide" |
    { printf '\xef\xbb\xbf'; cat; } >"$stage/$guide"
done
# The client guides are Markdown, read as text: the same BOM and CRLF. They
# link their pictures and examples relative to docs/, so those go beside
# them as they lie there; the examples get CRLF too, and no BOM, which an
# old compiler would take for text.
for guide in clients.md clients.zh_CN.md; do
  sed 's/$/\r/' "docs/$guide" | { printf '\xef\xbb\xbf'; cat; } >"$stage/$guide"
done
cp docs/settings-dialog.png docs/advanced-settings.png "$stage/"
mkdir -p "$stage/examples"
for example in docs/examples/*.c; do
  sed 's/$/\r/' "$example" >"$stage/examples/$(basename "$example")"
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
# A refused guide leaves no zip behind, not even the last one.
rm -f "$zip_path"
/usr/bin/python3 - "$stage" "$zip_path" "$epoch" <<'EOF'
import os
import posixpath
import re
import sys
import time
import zipfile

stage, out, epoch = sys.argv[1], sys.argv[2], int(sys.argv[3])
stamp = time.gmtime(max(epoch, 315532800))[:6]  # zip time starts in 1980
examples = sorted(os.listdir(os.path.join(stage, "examples")))
order = (["README-zh_CN.txt", "README-en.txt", "clients.md", "clients.zh_CN.md",
          "settings-dialog.png", "advanced-settings.png", "examples/"] +
         ["examples/" + e for e in examples] +
         ["varnix-defaults.reg", "varnix-recommended.reg",
          "x86/", "x86/Varnix.exe", "x86/varnix-send.exe",
          "x64/", "x64/Varnix.exe", "x64/varnix-send.exe"])
guides = ["README-zh_CN.txt", "README-en.txt", "clients.md", "clients.zh_CN.md"]


def broken_links(names, guide, text):
    """The relative links of a guide that name no entry of the zip: in
    Markdown every ](target) of a link or a picture and every src="target";
    in a text guide every picture, guide or text file it names."""
    if guide.endswith(".md"):
        targets = re.findall(r'\]\(\s*<?([^)\s>]+)>?(?:\s+"[^"]*")?\s*\)', text)
        targets += re.findall(r'\bsrc="([^"]+)"', text)
    else:
        # ASCII words: a Chinese character before a name is not part of it.
        targets = re.findall(r'(?<![\w.\\/%<-])([\w-]+(?:\.[\w-]+)*\.(?:png|md|txt))\b',
                             text, re.ASCII)
    base = posixpath.dirname(guide)
    broken = []
    for target in targets:
        if re.match(r"[A-Za-z][A-Za-z0-9+.-]*:", target) or target.startswith("#"):
            continue  # a web address, a mail address, a place in the guide itself
        path = target.split("#", 1)[0].split("?", 1)[0]
        name = posixpath.normpath(posixpath.join(base, path))
        if name.startswith("../") or name == "..":
            broken.append(target)
        elif name not in names and name + "/" not in names:
            broken.append(target)
    return broken


broken = []
for guide in guides:
    with open(os.path.join(stage, guide), encoding="utf-8-sig") as f:
        broken += [f"{guide}: {t}" for t in broken_links(set(order), guide, f.read())]
if broken:
    for b in broken:
        print(f"package: a link of a guide names nothing in the zip: {b}", file=sys.stderr)
    sys.exit(1)
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
