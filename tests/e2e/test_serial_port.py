"""The Win32 serial port (SerialPort: PortOpen, PortSend, PortReceive,
PortClose) on a pty under Wine, with the simulated modem on the other end. The Windows side
is tests/e2e/port/port_probe.exe, which runs the steps given on its command
line and prints one line per step."""
import os
import pathlib
import re
import subprocess
import time


from harness.modem import SimModem, map_com_ports, modem_ports
from harness.wine import WinePrefix

FILL = "23" * 32  # the probe's receive buffer before each read: 32 x '#'


def exe(win_build, name):
    path = pathlib.Path(win_build) / "bin" / name
    assert path.is_file(), f"{name} not built in {win_build}"
    return path


def hexarg(data):
    return data.hex()


PROBE_LINE = re.compile(r"^(open|again|reopen|send|recv|inque|dcb|timeouts|close|close-1|reuse|"
                        r"file|handles|mark|end)( |$)")


def probe_lines(out):
    """The probe's own lines. A wineserver started by the probe shares its
    output and, when a device hangs up under it, dumps its objects there."""
    return [x for x in out.replace("\r", "").splitlines() if PROBE_LINE.match(x)]


def run_probe(prefix, win_build, *steps, timeout=60):
    code, out = prefix.run(exe(win_build, "port_probe.exe"), *steps, timeout=timeout)
    lines = probe_lines(out)
    assert code == 0 and lines and lines[-1] == "end", out
    return lines[:-1]


def fields(line):
    """'dcb A=1 B=2' -> {'A': 1, 'B': 2}"""
    return {k: int(v) for k, v in (p.split("=") for p in line.split()[1:])}


def recv_line(n, data):
    """What the probe prints for a read of n bytes that placed `data`."""
    return f"recv {n} {(data.hex() + FILL)[:64]}"


def strip_ms(line):
    return line.rsplit(" ", 1)[0] if line.startswith("recv ") else line


# Port, Bit, Stop, Parity, Baud -> line as the pty sees it, line state as the
# driver reports it, write time limit per byte. A Linux pty forces 8 data bits
# and clears PARENB whatever it is told, so parity shows as PARODD and INPCK
# (input parity checking), and data bits other than 8 cannot be seen at all.
LINE_TABLE = [
    ((1, 8, 1, 0, 9600), dict(ospeed=9600, ispeed=9600, bits=8, inpck=False, parodd=False,
                              cstopb=False),
     dict(BaudRate=9600, ByteSize=8, Parity=0, StopBits=0, fParity=0), 2),
    # Stop 2 is two stop bits, not one and a half.
    ((1, 8, 2, 1, 19200), dict(ospeed=19200, inpck=True, parodd=True, cstopb=True),
     dict(BaudRate=19200, StopBits=2), 1),
    ((1, 8, 1, 2, 115200), dict(ospeed=115200, inpck=True, parodd=False, cstopb=False),
     dict(BaudRate=115200, StopBits=0), 0),
    ((1, 8, 2, 0, 300), dict(ospeed=300, inpck=False, parodd=False, cstopb=True),
     dict(BaudRate=300, Parity=0, StopBits=2), 64),
    ((1, 8, 1, 0, 4800), dict(ospeed=4800, inpck=False, cstopb=False),
     dict(BaudRate=4800, StopBits=0), 4),
]

FIXED_DCB = dict(fOutxCtsFlow=0, fOutxDsrFlow=0, fDtrControl=1, fRtsControl=1,
                 fOutX=0, fInX=0, XonChar=0x11, XoffChar=0x13, fBinary=1)


def test_open_configures_the_line(modem, win_build):
    for settings, termios_want, dcb_want, write_multiplier in LINE_TABLE:
        lines = run_probe(modem.prefix, win_build, "open", *settings, "dcb", "close")
        assert lines[0] != "open -1", settings
        dcb = fields(lines[1])
        timeouts = fields(lines[2])
        assert lines[3] == "close 1"
        for k, v in {**dcb_want, **FIXED_DCB}.items():
            assert dcb[k] == v, (settings, k, dcb)
        assert timeouts == dict(ReadInterval=0xFFFFFFFF, ReadMultiplier=0, ReadConstant=1000,
                                WriteMultiplier=write_multiplier, WriteConstant=2000), settings
        # Wine leaves the pty as configured after the close.
        line = modem.line()
        for k, v in termios_want.items():
            assert line[k] == v, (settings, k, line)
        assert not line["crtscts"] and not line["ixon"] and not line["ixoff"], line


# Baud -> write time limit per byte. On top of it every write has 2000 ms, so
# that from 38400 baud up, where the per-byte limit comes out as 0, a write to
# a modem that stops taking bytes still ends.
WRITE_LIMITS = [(9600, 2), (38400, 0), (115200, 0)]


def test_writes_always_have_a_time_limit(modem, win_build):
    steps = []
    for baud, _ in WRITE_LIMITS:
        steps += ["open", 1, 8, 1, 0, baud, "timeouts", "close"]
    lines = run_probe(modem.prefix, win_build, *steps)
    assert len(lines) == 3 * len(WRITE_LIMITS), lines
    for k, (baud, multiplier) in enumerate(WRITE_LIMITS):
        opened, timeouts, closed = lines[3 * k:3 * k + 3]
        assert opened != "open -1" and closed == "close 1", (baud, lines)
        assert timeouts.startswith("timeouts "), (baud, timeouts)
        assert fields(timeouts) == dict(ReadInterval=0xFFFFFFFF, ReadMultiplier=0,
                                        ReadConstant=1000, WriteMultiplier=multiplier,
                                        WriteConstant=2000), baud


def test_one_port_object_holds_one_open_port(modem, win_build):
    modem.set_command_replies({"AT1": b"one", "AT2": b"two"})
    lines = run_probe(
        modem.prefix, win_build,
        # (The first open leaves Wine's own handles behind, e.g. the
        # directory of named objects; the handle counts start after it.)
        "open", 1, 8, 1, 0, 9600,
        "reopen", 1, 8, 1, 0, 9600,        # this object is open already...
        "reopen", 1, 8, 2, 1, 115200,      # ...whatever the settings say
        "dcb",                             # the open port is as it was
        "sendhex", hexarg(b"AT1\r"), "sleep", 400, "recv", 10,
        "close", "handles",
        "open", 1, 8, 1, 0, 9600,
        "unset",                           # the open object goes...
        "again", 1, 8, 1, 0, 9600,         # ...and has given the port up
        "handles",
        "open", 1, 8, 1, 0, 19200, "close",
        "open", 1, 8, 1, 0, 9600,          # a closed object opens again
        "sendhex", hexarg(b"AT2\r"), "sleep", 400, "recv", 10,
        "close", "handles")
    opened = lines[0]
    assert opened.startswith("open ") and opened != "open -1", lines
    assert lines[1:3] == ["reopen -1", "reopen -1"]
    dcb = fields(lines[3])
    assert (dcb["BaudRate"], dcb["StopBits"], dcb["Parity"]) == (9600, 0, 0), dcb
    assert fields(lines[4])["WriteMultiplier"] == 2, lines[4]
    assert [strip_ms(x) for x in lines[5:8]] == ["send 1", recv_line(3, b"one"), "close 1"]
    handles = lines[8]
    assert handles.startswith("handles "), lines
    assert lines[9] != "open -1"
    assert lines[10].startswith("again ") and lines[10] != "again -1", lines
    assert lines[11] == handles, "the destroyed open port left a handle behind"
    assert lines[12] != "open -1" and lines[13] == "close 1"
    assert lines[14] != "open -1"
    assert [strip_ms(x) for x in lines[15:]] == ["send 1", recv_line(3, b"two"), "close 1",
                                                 handles]
    assert modem.received_bytes() == b"AT1\rAT2\r"


def test_receive_takes_only_waiting_bytes_and_send_purges(modem, win_build):
    modem.set_command_replies({
        "AT1": b"abc",
        "AT2": b"ABCDEFGHIJKLMNOPQRSTUVWXY",  # 25 bytes
        "AT3": b"new",
    })
    lines = run_probe(
        modem.prefix, win_build, "open", 1, 8, 1, 0, 9600,
        # nothing waiting: 0 at once, buffer untouched
        "recv", 10,
        # 3 waiting: 3 read, the rest of the buffer untouched
        "sendhex", hexarg(b"AT1\r"), "sleep", 400, "inque", "recv", 10, "inque",
        # 25 waiting: 10 read, 15 stay queued until the next send purges them
        "sendhex", hexarg(b"AT2\r"), "sleep", 400, "inque", "recv", 10, "inque",
        "sendhex", hexarg(b"AT3\r"), "sleep", 400, "inque", "recv", 10,
        # a reply left unread is gone after the next send
        "sendhex", hexarg(b"AT1\r"), "sleep", 400,
        "sendhex", hexarg(b"AT3\r"), "sleep", 400, "recv", 10, "recv", 10,
        "close")
    assert lines[0] != "open -1"
    assert lines[1].startswith(recv_line(0, b"") + " ")
    assert int(lines[1].split()[-1]) < 200, "a read with nothing waiting must not wait"
    assert [strip_ms(x) for x in lines[2:]] == [
        "send 1", "inque 3", recv_line(3, b"abc"), "inque 0",
        "send 1", "inque 25", recv_line(10, b"ABCDEFGHIJ"), "inque 15",
        "send 1", "inque 3", recv_line(3, b"new"),
        "send 1",
        "send 1", recv_line(3, b"new"), recv_line(0, b""),
        "close 1",
    ]
    # Every command reached the modem whole, in order.
    assert modem.received_bytes() == b"AT1\rAT2\rAT3\rAT1\rAT3\r"


def test_open_fails_without_device_or_when_held(modem, win_build):
    p = modem.prefix
    lines = run_probe(
        p, win_build,
        "open", 2, 8, 1, 0, 9600,      # COM2 leads to no device
        "handles",
        "open", 0, 8, 1, 0, 9600,      # no port 0
        "open", -3, 8, 1, 0, 9600,
        "open", 1, 8, 1, 0, 0,         # the write limit divides by Baud
        "open", 1, 8, 1, 0, -9600,
        "open", 1, 8, 5, 0, 9600,      # a stop-bit code the driver rejects...
        "handles",                     # ...leaves no handle open behind
        "open", 1, 8, 1, 0, 9600,
        "again", 1, 8, 1, 0, 9600,     # already open here
        "close", "again", 1, 8, 1, 0, 9600, "handles")
    # (The first failed open leaves Wine's own handles behind, e.g. the
    # directory of named objects; the comparison starts after it.)
    assert lines[1] == lines[7] == lines[12], lines
    assert [lines[0], *lines[2:7]] == ["open -1"] * 6
    assert lines[8] != "open -1"
    assert lines[9] == "again -1"
    assert lines[10] == "close 1"
    assert lines[11] != "again -1"

    # Held by another program.
    holder = p.start(exe(win_build, "port_probe.exe"), "open", 1, 8, 1, 0, 9600,
                     "mark", "opened", "sleep", 4000, "close")
    try:
        assert holder.wait_for_output("mark opened", 30), holder.output()
        assert "open -1" not in holder.output()
        assert run_probe(p, win_build, "open", 1, 8, 1, 0, 9600) == ["open -1"]
        assert holder.wait(30) == 0
    finally:
        holder.kill()
    lines = run_probe(p, win_build, "open", 1, 8, 1, 0, 9600, "close")
    assert lines[0] != "open -1" and lines[1] == "close 1"


def test_operations_without_open_port_do_nothing(modem, win_build):
    modem.push(b"xyz")
    lines = run_probe(
        modem.prefix, win_build,
        "close-1",
        "sendhex", hexarg(b"AT0\r"), "recv", 10,          # never opened
        "open", 1, 8, 1, 0, 9600, "sendhex", hexarg(b"AT1\r"), "sleep", 300,
        "close", "close", "close-1",
        "sendhex", hexarg(b"AT2\r"), "recv", 10,          # after the close
        "reuse",
        "sendhex", hexarg(b"XYZ"), "recv", 10, "close", "file",
        "unset", "sendhex", hexarg(b"AT3\r"), "recv", 10, "close", "file")
    lines = [strip_ms(x) for x in lines]
    assert lines[:3] == ["close-1 0", "send 0", recv_line(0, b"")]
    assert lines[3] != "open -1"
    assert lines[4:10] == ["send 1", "close 1", "close 0", "close-1 0",
                           "send 0", recv_line(0, b"")]
    # The closed port's handle value went to a file: a stale handle must
    # neither write to that file nor close it.
    assert lines[10] == "reuse 1", "Wine did not hand the value out again"
    assert lines[11:15] == ["send 0", recv_line(0, b""), "close 0", "file size=0 open=1"]
    # Nor may the closed port object, when it goes, close the file.
    assert lines[15:] == ["send 0", recv_line(0, b""), "close 0", "file size=0 open=1"]
    assert modem.received_bytes() == b"AT1\r"


def test_port_above_nine(modem, win_build):
    modem.map_port(12)
    modem.set_command_replies({"AT12": b"ok12"})
    lines = run_probe(modem.prefix, win_build, "open", 12, 8, 1, 0, 9600,
                      "sendhex", hexarg(b"AT12\r"), "sleep", 400, "recv", 10, "close")
    assert lines[0] != "open -1"
    assert [strip_ms(x) for x in lines[1:]] == ["send 1", recv_line(4, b"ok12"), "close 1"]


def _processes_mentioning(text):
    """Pids whose command line or environment mentions `text`."""
    found = []
    for d in pathlib.Path("/proc").iterdir():
        if not d.name.isdigit() or int(d.name) == os.getpid():
            continue
        try:
            blob = (d / "cmdline").read_bytes() + (d / "environ").read_bytes()
        except OSError:
            continue
        if text.encode() in blob:
            found.append(int(d.name))
    return found


def test_bench_stops_what_it_starts(win_build, tmp_path):
    template = os.environ["VARNIX_PREFIX_TEMPLATE"]
    p = WinePrefix.copy_of(template, tmp_path / "prefix")
    m = SimModem.start(tmp_path / "modem")
    try:
        map_com_ports(p, modem_ports(m, 1))
        held = p.start(exe(win_build, "port_probe.exe"), "open", 1, 8, 1, 0, 9600,
                       "mark", "opened", "sleep", 60000)
        assert held.wait_for_output("mark opened", 30)
        assert _processes_mentioning(str(tmp_path)), "nothing to stop?"
    finally:
        m.stop()
        p.shutdown()
    deadline = time.monotonic() + 10
    while _processes_mentioning(str(tmp_path)) and time.monotonic() < deadline:
        time.sleep(0.1)
    left = _processes_mentioning(str(tmp_path))
    assert not left, subprocess.run(["ps", "-o", "pid,args", "-p",
                                     ",".join(map(str, left))],
                                    capture_output=True, text=True).stdout
    assert not m.link.exists()


def test_modem_replies_in_pieces_trickles_and_floods(modem, win_build):
    cmgs = b"\r\n+CMGS: 12\r\n\r\nOK\r\n"
    modem.set_command_replies({
        "PIECES": [(0, cmgs[:4]), (1.0, cmgs[4:])],
        "TRICKLE": [(0 if i == 0 else 0.3, b"abcd"[i:i + 1]) for i in range(4)],
        "FLOOD": b"F" * (1 << 20),
        "AT3": b"new",
    })
    lines = run_probe(
        modem.prefix, win_build, "open", 1, 8, 1, 0, 9600,
        "sendhex", hexarg(b"PIECES\r"), "sleep", 400, "recv", 10,
        "sleep", 1200, "recv", 10, "recv", 10,
        "sendhex", hexarg(b"TRICKLE\r"), "sleep", 1400, "recv", 10,
        # A modem that keeps talking: each read still takes only what has
        # arrived, at most 10 bytes, at once, and a send still goes out.
        "sendhex", hexarg(b"FLOOD\r"), "sleep", 500, "recv", 10, "recv", 10,
        "sendhex", hexarg(b"AT3\r"), "sleep", 300, "recv", 10,
        "close")
    assert lines[0] != "open -1"
    plain = [strip_ms(x) for x in lines[1:]]
    assert plain[:8] == [
        "send 1", recv_line(4, cmgs[:4]), recv_line(10, cmgs[4:14]),
        recv_line(len(cmgs) - 14, cmgs[14:]),
        "send 1", recv_line(4, b"abcd"),
        "send 1", recv_line(10, b"F" * 10)]
    assert plain[8] == recv_line(10, b"F" * 10)
    assert plain[9] == "send 1"
    assert plain[10].split()[1] == "10", plain[10]
    assert plain[11] == "close 1"
    assert all(int(x.split()[-1]) < 200 for x in lines if x.startswith("recv "))
    assert modem.received_bytes() == b"PIECES\rTRICKLE\rFLOOD\rAT3\r"
    # The modem kept to its schedules.
    sent = modem.sent()
    t_pieces = [t for t, b in sent if b in (cmgs[:4], cmgs[4:])]
    assert len(t_pieces) == 2 and 0.9 <= t_pieces[1] - t_pieces[0] <= 1.5
    t_trickle = [t for t, b in sent if b in (b"a", b"b", b"c", b"d")]
    gaps = [b - a for a, b in zip(t_trickle, t_trickle[1:])]
    assert len(gaps) == 3 and all(0.25 <= g <= 0.6 for g in gaps), gaps


def test_modem_hangup_and_restore(modem, win_build):
    p = modem.prefix
    probe = p.start(exe(win_build, "port_probe.exe"), "open", 1, 8, 1, 0, 9600,
                    "mark", "opened", "sleep", 1500,
                    "sendhex", hexarg(b"AT1\r"), "recv", 10, "close")
    try:
        assert probe.wait_for_output("mark opened", 30), probe.output()
        modem.hangup()
        assert probe.wait(30) == 0
    finally:
        probe.kill()
    lines = probe_lines(probe.output())
    assert lines[0] != "open -1"
    # The device is gone under the open port: the write fails, nothing to read.
    assert [strip_ms(x) for x in lines[2:]] == ["send 0", recv_line(0, b""), "close 1", "end"]
    assert run_probe(p, win_build, "open", 1, 8, 1, 0, 9600) == ["open -1"]
    modem.restore()
    modem.set_command_replies({"AT2": b"back"})
    lines = run_probe(p, win_build, "open", 1, 8, 1, 0, 9600, "sendhex", hexarg(b"AT2\r"),
                      "sleep", 400, "recv", 10, "close")
    assert [strip_ms(x) for x in lines[1:]] == ["send 1", recv_line(4, b"back"), "close 1"]
    assert modem.received_bytes() == b"AT2\r"
