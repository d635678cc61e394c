"""The `app` fixture: the real Varnix.exe in the test's prefix, with its
settings in the registry, its windows driven by varnix-ui.exe and DDE
through the test client.

    def test_x(app):
        app.write_settings(Delay=300)
        app.start()
        app.wait_started()
        ui = app.ui("status")
        assert ui["panel0"] == "Topic: SMS0"

The prefix is `prefix`; with the `modem` fixture in the same test COM1 leads
to the simulated modem, else `app.no_modem()` maps COM1..COM9 to a device
that does not exist (never the machine's own serial ports)."""
import pathlib
import time

import pytest

from harness.dde import run_client

SETTINGS_KEY = r"HKLM\Software\Korva\Varnix\2.00"
# The 32-bit view of HKLM\Software as seen by `reg import` in the 64-bit view.
SETTINGS_KEY_32 = r"HKEY_LOCAL_MACHINE\Software\Wow6432Node\Korva\Varnix\2.00"
NAMES = ("Port", "Bit", "Stop", "Parity", "Baud", "Delay")
DEFAULTS = {"Port": 1, "Bit": 8, "Stop": 1, "Parity": 0, "Baud": 9600,
            "Delay": 2000}


def write_settings(prefix, workdir, **values):
    """Stores REG_DWORD values in the key Varnix reads (32-bit view) of the
    prefix, through a .reg file in workdir."""
    lines = ["REGEDIT4", "", f"[{SETTINGS_KEY_32}]"]
    for name, value in values.items():
        lines.append(f'"{name}"=dword:{value & 0xFFFFFFFF:08x}')
    regfile = pathlib.Path(workdir) / "settings.reg"
    regfile.write_text("\r\n".join(lines) + "\r\n")
    code, out = prefix.reg("import", str(regfile))
    if code != 0:
        raise RuntimeError(out)


class UiResult:
    def __init__(self, code, text):
        self.code = code
        self.text = text
        self.pairs = []
        for line in text.replace("\r", "").splitlines():
            if "=" in line:
                k, v = line.split("=", 1)
                self.pairs.append((k, v))

    def __getitem__(self, key):
        """The last value printed under `key`."""
        values = self.all(key)
        assert values, f"no {key} in:\n{self.text}"
        return values[-1]

    def all(self, key):
        return [v for k, v in self.pairs if k == key]


class App:
    def __init__(self, prefix, win_build, workdir):
        self.prefix = prefix
        self.win_build = pathlib.Path(win_build)
        self.exe = self.win_build / "bin" / "Varnix.exe"
        self.ui_exe = self.win_build / "bin" / "varnix-ui.exe"
        self.workdir = pathlib.Path(workdir)
        self.workdir.mkdir(parents=True, exist_ok=True)
        self.proc = None

    def no_modem(self):
        from harness.fixtures_modem import map_com_ports
        absent = self.workdir / "no-such-device"
        map_com_ports(self.prefix, {n: absent for n in range(1, 10)})

    def write_settings(self, **values):
        """Stores REG_DWORD values in the key Varnix reads (32-bit view)."""
        write_settings(self.prefix, self.workdir, **values)

    def settings(self):
        return {n: self.prefix.reg_query_dword(SETTINGS_KEY, n, view=32)
                for n in NAMES}

    def start(self):
        self.proc = self.prefix.start(self.exe)
        return self

    def ui(self, *commands, ok=True, timeout=60):
        code, out = self.prefix.run(self.ui_exe, *commands, timeout=timeout)
        result = UiResult(code, out)
        if ok:
            assert code == 0, out
        return result

    def wait_started(self, timeout_ms=30000):
        """Until the start-up sequence has ended and the window is shown."""
        self.ui(f"wait-visible:{timeout_ms}")

    def wait_dde(self, timeout=30):
        """Until the service answers a raw initiate for "SMS0"."""
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            out = run_client(self.prefix, self.win_build,
                             "raw-initiate Varnix SMS0 500")
            if int(out.first("raw-initiate").get("acks", "0")) >= 1:
                return
            time.sleep(0.1)
        raise AssertionError("Varnix's DDE service did not answer")

    def wait_exit(self, timeout):
        """Seconds until the process ended, or None."""
        start = time.monotonic()
        try:
            self.proc.wait(timeout)
        except Exception:
            return None
        return time.monotonic() - start

    def running(self):
        return self.proc is not None and self.proc.running()


@pytest.fixture
def app(prefix, app_build, tmp_path):
    """Varnix.exe of the x64 and of the x86 build (`app_build`), each with
    the DDE client, varnix-send and varnix-ui of the same tree."""
    a = App(prefix, app_build, tmp_path / "app")
    try:
        yield a
    finally:
        if a.proc is not None:
            a.proc.kill()
