"""Renders the main window (restored), the settings dialog, the About box and
the advanced settings dialog of Varnix.exe under Xvfb into docs/*.png. Run
through scripts/screenshots.sh."""
import os
import pathlib
import shutil
import subprocess
import sys
import struct
import tempfile
import time
import zlib

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests" / "e2e"))

from harness.fixtures_app import App  # noqa: E402
from harness.modem import SimModem, map_com_ports  # noqa: E402
from harness.wine import WinePrefix  # noqa: E402

DOCS = ROOT / "docs"
# The six defaults, and the recommended set of packaging/varnix-recommended.reg
# that the advanced settings dialog is shown with.
DEFAULTS = dict(Port=1, Bit=8, Stop=1, Parity=0, Baud=9600, Delay=2000)
RECOMMENDED = dict(Parts=5, Alphabet=1, Dialogue=1, Outbox=1, Retries=3, Watch=60,
                   Receive=10, Report=1)

# Wine draws the title-bar buttons and the combo-box arrows with glyphs of
# the Marlett font, and Windows' own bitmap fonts (MS Sans Serif, used by
# the main window) are Wine's too. Debian ships them with Wine (fonts-wine),
# but this Wine does not load its own font folder, only the prefix's Fonts
# folder.
WINE_FONTS = pathlib.Path("/usr/share/wine/fonts")
# The forms ask for 宋体 (SimSun) at 12 pixels, which Windows draws from the
# font's embedded bitmaps: sharp, not smoothed. The nearest free font is
# WenQuanYi Zen Hei Sharp (fonts-wqy-zenhei), which embeds bitmaps of the
# same sizes; without it Wine falls back to a smoothed sans-serif face.
SONG_SUBSTITUTE = "WenQuanYi Zen Hei Sharp"
SONG_FONT = pathlib.Path("/usr/share/fonts/truetype/wqy/wqy-zenhei.ttc")

# A new prefix has Wine's own "light" visual style switched on: flat
# light-blue captions and flat combo boxes with chevrons, a look no Windows
# has. The pictures use the classic look of Windows 2000 to 7 instead (no
# visual style, the "Windows Standard" colours, gradient captions).
CLASSIC_LOOK = r"""Windows Registry Editor Version 5.00

[HKEY_CURRENT_USER\Control Panel\Colors]
"ActiveBorder"="212 208 200"
"ActiveTitle"="10 36 106"
"AppWorkSpace"="128 128 128"
"Background"="58 110 165"
"ButtonAlternateFace"="181 181 181"
"ButtonDkShadow"="64 64 64"
"ButtonFace"="212 208 200"
"ButtonHilight"="255 255 255"
"ButtonLight"="212 208 200"
"ButtonShadow"="128 128 128"
"ButtonText"="0 0 0"
"GradientActiveTitle"="166 202 240"
"GradientInactiveTitle"="192 192 192"
"GrayText"="128 128 128"
"Hilight"="10 36 106"
"HilightText"="255 255 255"
"HotTrackingColor"="0 0 128"
"InactiveBorder"="212 208 200"
"InactiveTitle"="128 128 128"
"InactiveTitleText"="212 208 200"
"InfoText"="0 0 0"
"InfoWindow"="255 255 225"
"Menu"="212 208 200"
"MenuBar"="212 208 200"
"MenuHilight"="10 36 106"
"MenuText"="0 0 0"
"Scrollbar"="212 208 200"
"TitleText"="255 255 255"
"Window"="255 255 255"
"WindowFrame"="0 0 0"
"WindowText"="0 0 0"

[HKEY_CURRENT_USER\Software\Microsoft\Windows\CurrentVersion\ThemeManager]
"ThemeActive"="0"

[HKEY_CURRENT_USER\Control Panel\Desktop]
"UserPreferencesMask"=hex:9e,3e,07,80,12,00,00,00

[HKEY_LOCAL_MACHINE\Software\Microsoft\Windows NT\CurrentVersion\FontSubstitutes]
"宋体"="@SONG@"
"SimSun"="@SONG@"
"""


def look_like_windows(prefix, work):
    if not (WINE_FONTS / "marlett.ttf").is_file():
        raise SystemExit(f"{WINE_FONTS}/marlett.ttf is missing: install fonts-wine")
    if not SONG_FONT.is_file():
        raise SystemExit(f"{SONG_FONT} is missing: install fonts-wqy-zenhei")
    fonts = prefix.path / "drive_c" / "windows" / "Fonts"
    for font in WINE_FONTS.iterdir():
        shutil.copy(font, fonts / font.name)
    # Chinese value names: a "Version 5.00" file, which is UTF-16.
    look = work / "classic-look.reg"
    text = CLASSIC_LOOK.replace("@SONG@", SONG_SUBSTITUTE).replace("\n", "\r\n")
    look.write_bytes(b"\xff\xfe" + text.encode("utf-16-le"))
    code, out = prefix.reg("import", str(look))
    if code != 0:
        raise SystemExit(f"reg import of the classic look failed: {out}")


def grab(x, y, w, h, out, *options):
    subprocess.run(["import", "-window", "root", "-crop", f"{w}x{h}+{x}+{y}", "+repage",
                    *options, str(out)], check=True, env=dict(os.environ))


def read_ppm(path):
    """(width, height, RGB bytes) of a binary PPM as import writes it."""
    data = path.read_bytes()
    fields, pos = [], 0
    while len(fields) < 4:  # P6, width, height, maximum; blanks between
        while data[pos:pos + 1].isspace():
            pos += 1
        end = pos
        while not data[end:end + 1].isspace():
            end += 1
        fields.append(data[pos:end])
        pos = end
    if fields[0] != b"P6" or fields[3] != b"255":
        raise SystemExit(f"{path}: not an 8-bit binary PPM")
    return int(fields[1]), int(fields[2]), data[pos + 1:]


def write_png(path, w, h, rgb):
    def chunk(kind, body):
        return (struct.pack(">I", len(body)) + kind + body +
                struct.pack(">I", zlib.crc32(kind + body) & 0xFFFFFFFF))
    rows = b"".join(b"\0" + rgb[r * w * 3:(r + 1) * w * 3] for r in range(h))
    path.write_bytes(b"\x89PNG\r\n\x1a\n" +
                     chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 2, 0, 0, 0)) +
                     chunk(b"IDAT", zlib.compress(rows, 9)) + chunk(b"IEND", b""))


def shoot(app, which, name, caret=False):
    """caret: the window has a text box with the focus, whose blinking caret
    would stand over its first digit. Then four grabs a little over half a
    blink apart, and the brightest is one without the caret."""
    x, y, w, h = (int(v) for v in app.ui(f"rect:{which}")["rect"].split(","))
    out = DOCS / name
    if not caret:
        grab(x, y, w, h, out)
    else:
        shots = []
        for i in range(4):
            path = out.with_suffix(f".{i}.ppm")
            grab(x, y, w, h, path, "-depth", "8")
            shots.append(read_ppm(path))
            path.unlink()
            time.sleep(0.27)
        write_png(out, *max(shots, key=lambda shot: sum(shot[2])))
    print(f"docs/{name}: {w}x{h}")


def main():
    win_build = pathlib.Path(os.environ["VARNIX_WIN_BUILD"])
    work = pathlib.Path(tempfile.mkdtemp(prefix="varnix-shots.",
                                         dir=os.environ["VARNIX_RUN_DIR"]))
    prefix = WinePrefix.copy_of(os.environ["VARNIX_PREFIX_TEMPLATE"], work / "prefix")
    # Title bars drawn by Wine itself: Xvfb has no window manager.
    prefix.reg("add", r"HKCU\Software\Wine\X11 Driver", "/v", "Decorated", "/t", "REG_SZ",
               "/d", "Y", "/f")
    look_like_windows(prefix, work)
    modem = SimModem.start(work / "modem")
    app = App(prefix, win_build, work / "app")
    try:
        absent = work / "no-such-device"
        map_com_ports(prefix, {n: (modem.link if n == 1 else absent) for n in range(1, 10)})
        app.write_settings(**DEFAULTS)
        app.start()
        app.wait_started(60000)
        app.ui("restore", "sleep:500")
        shoot(app, "main", "main-window.png")
        app.ui("menu:O2", "wait-com", "sleep:500")
        shoot(app, "com", "settings-dialog.png")
        app.ui("com-press:cancel", "wait-com-hidden", "menu:A1", "wait-about", "sleep:500")
        shoot(app, "about", "about-box.png")
        app.ui("about-key:enter", "wait-about-hidden")
        app.ui("menu:X1", "answer:OK")
        if app.wait_exit(20) is None:
            raise SystemExit("Varnix did not exit")
        # The capabilities are read at start-up: the dialog shows what this
        # second start read, not values typed into it.
        app.write_settings(**RECOMMENDED)
        app.start()
        app.wait_started(60000)
        app.ui("menu:O3", "wait-adv", "sleep:500")
        shoot(app, "adv", "advanced-settings.png", caret=True)
        app.ui("adv-press:cancel", "wait-adv-hidden")
        app.ui("menu:X1", "answer:OK")
        app.wait_exit(20)
        return 0
    finally:
        if app.proc is not None:
            app.proc.kill()
        modem.stop()
        prefix.shutdown()


if __name__ == "__main__":
    sys.exit(main())
