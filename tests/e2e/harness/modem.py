"""The test side of the simulated modem (tools/simmodem/simmodem.py): starts
it as its own process, drives it over its control socket and reads its log.

    m = SimModem.start(workdir)
    m.set_reply("cmgs")              # what follows the PDU's Ctrl-Z
    m.set_at_reply(b"OK\\r\\n")        # the answer to plain AT commands
    m.set_command_reply("AT1", b"abc")
    m.push(b"\\r\\nRING\\r\\n")          # unsolicited bytes, now
    m.wait_for(b"\\x1a", timeout=10)
    m.received()   -> [(t, bytes), ...]   t: time.monotonic() of the modem
    m.commands()   -> [(t, bytes), ...]   split after each CR and Ctrl-Z
    m.line()       -> the line settings the pty was given (termios)
    m.hangup(); m.restore()
    m.stop()
"""
import json
import os
import pathlib
import signal
import socket
import subprocess
import time

ROOT = pathlib.Path(__file__).resolve().parents[3]
SIMMODEM = ROOT / "tools" / "simmodem" / "simmodem.py"
PYTHON = "/usr/bin/python3"

CMGS_REPLY = b"\r\n+CMGS: 12\r\n\r\nOK\r\n"
CMS_ERROR_REPLY = b"\r\n+CMS ERROR: 500\r\n"


def _chunks(data_or_chunks):
    """bytes -> one chunk at once; [(delay, bytes), ...] -> as given."""
    if data_or_chunks is None:
        return []
    if isinstance(data_or_chunks, (bytes, bytearray)):
        return [[0, bytes(data_or_chunks).hex()]]
    return [[float(d), bytes(b).hex()] for d, b in data_or_chunks]


def reply_chunks(kind, *, after=0.0, interval=0.3, size=1 << 20, split=4,
                 gap=1.0):
    """The modem's answer to a PDU, by name:
      cmgs       the complete "+CMGS" reply
      cms_error  "+CMS ERROR: 500"
      silence    nothing at all
      pieces     the "+CMGS" reply cut after `split` bytes, the rest `gap` s later
      trickle    the "+CMGS" reply one byte every `interval` s
      flood      `size` bytes of "+CMGS" replies back to back
    `after` delays the first byte."""
    if kind == "cmgs":
        chunks = [(after, CMGS_REPLY)]
    elif kind == "cms_error":
        chunks = [(after, CMS_ERROR_REPLY)]
    elif kind == "silence":
        chunks = []
    elif kind == "pieces":
        chunks = [(after, CMGS_REPLY[:split]), (gap, CMGS_REPLY[split:])]
    elif kind == "trickle":
        chunks = [(after if i == 0 else interval, CMGS_REPLY[i:i + 1])
                  for i in range(len(CMGS_REPLY))]
    elif kind == "flood":
        data = (CMGS_REPLY * (size // len(CMGS_REPLY) + 1))[:size]
        chunks = [(after, data)]
    else:
        raise ValueError(f"unknown reply {kind!r}")
    return chunks


class SimModem:
    def __init__(self, workdir, link, popen):
        self.workdir = pathlib.Path(workdir)
        self.link = pathlib.Path(link)
        self.popen = popen
        self.pid = popen.pid
        self.logpath = self.workdir / "modem.log"

    @classmethod
    def start(cls, workdir, link=None, timeout=10):
        workdir = pathlib.Path(workdir)
        workdir.mkdir(parents=True, exist_ok=True)
        link = pathlib.Path(link or workdir / "ttyV0")
        err = open(workdir / "simmodem.err", "wb")
        p = subprocess.Popen([PYTHON, str(SIMMODEM), "--dir", str(workdir),
                              "--link", str(link)],
                             stdin=subprocess.DEVNULL, stdout=err, stderr=err,
                             start_new_session=True)
        err.close()
        m = cls(workdir, link, p)
        end = time.monotonic() + timeout
        while not (workdir / "ready").exists():
            if p.poll() is not None or time.monotonic() > end:
                m.stop()
                raise RuntimeError("simulated modem did not start: " +
                                   (workdir / "simmodem.err").read_text())
            time.sleep(0.01)
        return m

    # -- control ---------------------------------------------------------------

    def _call(self, **req):
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
            s.settimeout(10)
            s.connect(str(self.workdir / "control.sock"))
            s.sendall((json.dumps(req) + "\n").encode())
            buf = b""
            while not buf.endswith(b"\n"):
                chunk = s.recv(65536)
                if not chunk:
                    break
                buf += chunk
        reply = json.loads(buf)
        if not reply.get("ok"):
            raise RuntimeError(f"simulated modem refused {req}: {reply}")
        return reply

    def set_reply(self, kind="cmgs", **options):
        """What the modem answers after the PDU's Ctrl-Z (see reply_chunks),
        or chunks=[(delay, bytes), ...] given directly."""
        chunks = options.pop("chunks", None)
        if chunks is None:
            chunks = reply_chunks(kind, **options)
        self._call(op="set", pdu=_chunks(chunks))

    def set_at_reply(self, reply):
        """The answer to any command line not given its own reply."""
        self._call(op="set", at=_chunks(reply))

    def set_prompt(self, reply):
        """The answer to "AT+CMGS=<n>" (default CR LF "> ")."""
        self._call(op="set", prompt=_chunks(reply))

    def set_command_replies(self, replies):
        """{command without CR (any case): bytes or chunks}; replaces the
        earlier table."""
        self._call(op="set", commands={k: _chunks(v) for k, v in replies.items()})

    def push(self, data_or_chunks):
        """Sends bytes to the Windows side now (or on the given schedule)."""
        self._call(op="push", chunks=_chunks(data_or_chunks))

    def hangup(self):
        """Closes the pty: an open port loses its device, a new open finds
        none."""
        self._call(op="hangup")

    def restore(self):
        """A fresh pty behind the same path."""
        return self._call(op="restore")["path"]

    def line(self):
        """The line settings of the pty as Wine left them (termios)."""
        return self._call(op="termios")["termios"]

    # -- log -------------------------------------------------------------------

    def _entries(self):
        try:
            text = self.logpath.read_text()
        except FileNotFoundError:
            return []
        out = []
        for line in text.splitlines():
            try:
                out.append(json.loads(line))
            except ValueError:  # a line still being written
                break
        return out

    def received(self):
        """[(time, bytes)] in arrival order."""
        return [(e["t"], bytes.fromhex(e["rx"])) for e in self._entries() if "rx" in e]

    def sent(self):
        """[(time, bytes)] as written to the pty."""
        return [(e["t"], bytes.fromhex(e["tx"])) for e in self._entries() if "tx" in e]

    def received_bytes(self):
        return b"".join(b for _, b in self.received())

    def commands(self):
        """The received bytes cut after every CR and every Ctrl-Z, each piece
        with the time its first byte arrived."""
        out = []
        cur, t0 = b"", None
        for t, data in self.received():
            for i in range(len(data)):
                if not cur:
                    t0 = t
                cur += data[i:i + 1]
                if data[i] in (0x0D, 0x1A):
                    out.append((t0, cur))
                    cur = b""
        if cur:
            out.append((t0, cur))
        return out

    def wait_for(self, needle, timeout):
        """Time of the first arrival of `needle` in the received stream, or
        None when it did not come within `timeout` seconds."""
        end = time.monotonic() + timeout
        while True:
            stream, when = b"", None
            for t, data in self.received():
                stream += data
                if needle in stream:
                    when = t
                    break
            if when is not None:
                return when
            if time.monotonic() > end or self.popen.poll() is not None:
                return None
            time.sleep(0.02)

    # -- end -------------------------------------------------------------------

    def running(self):
        return self.popen.poll() is None

    def stop(self):
        if self.popen.poll() is None:
            try:
                self._call(op="quit")
                self.popen.wait(timeout=5)
            except Exception:
                pass
        if self.popen.poll() is None:
            try:
                os.killpg(self.pid, signal.SIGTERM)
                self.popen.wait(timeout=5)
            except (ProcessLookupError, subprocess.TimeoutExpired):
                pass
        if self.popen.poll() is None:
            try:
                os.killpg(self.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            self.popen.wait(timeout=5)


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
