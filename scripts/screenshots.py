"""Renders the main window (restored), the settings dialog and the About box
of Varnix.exe under Xvfb into docs/*.png. Run through scripts/screenshots.sh."""
import os
import pathlib
import subprocess
import sys
import tempfile

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests" / "e2e"))

from harness.fixtures_app import App  # noqa: E402
from harness.modem import SimModem, map_com_ports  # noqa: E402
from harness.wine import WinePrefix  # noqa: E402

DOCS = ROOT / "docs"


def shoot(app, which, name):
    x, y, w, h = (int(v) for v in app.ui(f"rect:{which}")["rect"].split(","))
    out = DOCS / name
    subprocess.run(["import", "-window", "root", "-crop", f"{w}x{h}+{x}+{y}", "+repage",
                    str(out)], check=True, env=dict(os.environ))
    print(f"docs/{name}: {w}x{h}")


def main():
    win_build = pathlib.Path(os.environ["VARNIX_WIN_BUILD"])
    work = pathlib.Path(tempfile.mkdtemp(prefix="varnix-shots.",
                                         dir=os.environ["VARNIX_RUN_DIR"]))
    prefix = WinePrefix.copy_of(os.environ["VARNIX_PREFIX_TEMPLATE"], work / "prefix")
    # Title bars drawn by Wine itself: Xvfb has no window manager.
    prefix.reg("add", r"HKCU\Software\Wine\X11 Driver", "/v", "Decorated", "/t", "REG_SZ",
               "/d", "Y", "/f")
    modem = SimModem.start(work / "modem")
    app = App(prefix, win_build, work / "app")
    try:
        absent = work / "no-such-device"
        map_com_ports(prefix, {n: (modem.link if n == 1 else absent) for n in range(1, 10)})
        app.write_settings(Port=1, Bit=8, Stop=1, Parity=0, Baud=9600, Delay=200)
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
        app.wait_exit(20)
        return 0
    finally:
        if app.proc is not None:
            app.proc.kill()
        modem.stop()
        prefix.shutdown()


if __name__ == "__main__":
    sys.exit(main())
