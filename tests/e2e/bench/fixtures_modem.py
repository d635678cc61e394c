"""The `modem` fixture: a simulated modem on a pty, mapped as COM1 into the
test's Wine prefix.

    def test_x(modem, win_build):
        modem.set_reply("cmgs")
        code, out = modem.prefix.run(win_build / "x.exe")
        assert modem.wait_for(b"\\x1a", 10)

`modem` is a bench.modem.SimModem with two additions: `.prefix` (the
WinePrefix, COM1 already mapped) and `.map_port(n, ...)` (maps COMn to the
same pty as well). COM2 to COM9 lead to a device that does not exist. The modem is stopped by its process id at the end, before the
prefix's wineserver is killed."""
import subprocess

import pytest

from bench.modem import SimModem


def map_com_ports(prefix, ports):
    """Maps each COM<n> of {n: device path} in the prefix and restarts its
    wineserver, which reads the port table only when it starts."""
    lines = ["REGEDIT4", "", r"[HKEY_LOCAL_MACHINE\Software\Wine\Ports]"]
    for number, device in sorted(ports.items()):
        lines.append(f'"COM{number}"="{device}"')
    regfile = prefix.path.parent / "com-ports.reg"
    regfile.write_text("\r\n".join(lines) + "\r\n")
    code, out = prefix.reg("import", str(regfile))
    assert code == 0, out
    subprocess.run(["wineserver", "-k"], env=prefix.env, timeout=30,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    subprocess.run(["wineserver", "-w"], env=prefix.env, timeout=30,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def modem_ports(modem, *numbers):
    """COM1 to COM9 of a test prefix: the given ones lead to the modem, the
    others to a device that does not exist. Without an entry Wine would map
    them to the machine's real /dev/ttyS*, which no test may open."""
    absent = modem.workdir / "no-such-device"
    ports = {n: absent for n in range(1, 10)}
    ports.update({n: modem.link for n in numbers})
    return ports


@pytest.fixture
def modem(prefix, tmp_path):
    m = SimModem.start(tmp_path / "modem")
    try:
        m.prefix = prefix
        m.map_port = lambda *n: map_com_ports(prefix, modem_ports(m, 1, *n))
        m.map_port(1)
        yield m
    finally:
        m.stop()
