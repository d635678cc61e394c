"""The `modem` fixture: a simulated modem on a pty, mapped as COM1 into the
test's Wine prefix.

    def test_x(modem, win_build):
        modem.set_reply("cmgs")
        code, out = modem.prefix.run(win_build / "x.exe")
        assert modem.wait_for(b"\\x1a", 10)

`modem` is a bench.modem.SimModem with two additions: `.prefix` (the
WinePrefix, COM1 already mapped) and `.map_port(n)` (maps COMn to the same
pty as well). The modem is stopped by its process id at the end, before the
prefix's wineserver is killed."""
import subprocess

import pytest

from bench.modem import SimModem


def map_com_port(prefix, number, device):
    """Maps COM<number> of the prefix to `device` and restarts its
    wineserver, which reads the port table only when it starts."""
    code, out = prefix.reg("add", r"HKLM\Software\Wine\Ports", "/v", f"COM{number}",
                           "/t", "REG_SZ", "/d", str(device), "/f")
    assert code == 0, out
    subprocess.run(["wineserver", "-k"], env=prefix.env, timeout=30,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    subprocess.run(["wineserver", "-w"], env=prefix.env, timeout=30,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


@pytest.fixture
def modem(prefix, tmp_path):
    m = SimModem.start(tmp_path / "modem")
    try:
        m.prefix = prefix
        m.map_port = lambda n: map_com_port(prefix, n, m.link)
        m.map_port(1)
        yield m
    finally:
        m.stop()
