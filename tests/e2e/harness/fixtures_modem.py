"""The `modem` fixture: a simulated modem on a pty, mapped as COM1 into the
test's Wine prefix.

    def test_x(modem, win_build):
        modem.set_reply("cmgs")
        code, out = modem.prefix.run(win_build / "x.exe")
        assert modem.wait_for(b"\\x1a", 10)

`modem` is a harness.modem.SimModem with two additions: `.prefix` (the
WinePrefix, COM1 already mapped) and `.map_port(n, ...)` (maps COMn to the
same pty as well). COM2 to COM9 lead to a device that does not exist. The
modem is stopped by its process id at the end, before the prefix's
wineserver is killed."""
import pytest

from harness.modem import SimModem, map_com_ports, modem_ports


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


from harness.modem import PtyLine  # noqa: E402


@pytest.fixture
def bare_modem(tmp_path):
    """A simulated modem without Wine, with `.line`: its pty's other end
    opened directly (harness.modem.PtyLine), for tests that talk to the
    modem itself. Both are closed by the end of the test."""
    m = SimModem.start(tmp_path / "modem")
    m.line = None
    try:
        m.line = PtyLine(m.link)
        yield m
    finally:
        if m.line is not None:
            m.line.close()
        m.stop()
