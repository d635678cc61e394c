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

What a real modem does in the prompt-driven dialogue, each switched on by
its own call (none of it happens unless asked for):

    m.set_cmgf("ok", delay=0.05, script=["error"])   # AT+CMGF=0 answers
    m.set_cmgs(prompt_delay=0.05, result_delay=1.5, mr=7,
               parts=[{}, {"result": "error"}])      # AT+CMGS, per part
    m.set_unsolicited(unsolicited("RING", "prompt", part=1),
                      unsolicited('+CMTI: "SM",3', "command", k=3))
    m.set_echo(from_command=3)                       # echo back, as after a reset
    m.set_split(4, 0.2)                              # every answer in pieces
    m.pdus()       -> [{"pdu": hex text, "length": n, "length_ok", "mr", ...}]
    m.mrs()        -> the mr of every part answered "+CMGS"
    m.abandoned()  -> the PDUs ended by ESC
    m.wait_pdus(n, timeout) ; decode_pdu(hex text) (python3-gammu)
    line = PtyLine(m.link)   # the Windows side, for talking to it directly

The port unplugged for a while, the network-state queries (AT+CSQ,
AT+CREG?, AT+COPS?) and scripted prompts and results: harness/modem_faults.py;
the SIM's messages and status reports: harness/modem_store.py.
"""
import json
import os
import pathlib
import select
import signal
import socket
import subprocess
import time
import tty

from harness.modem_faults import ModemFaults
from harness.modem_store import ModemStore

ROOT = pathlib.Path(__file__).resolve().parents[3]
SIMMODEM = ROOT / "tools" / "simmodem" / "simmodem.py"
PYTHON = "/usr/bin/python3"

CMGS_REPLY = b"\r\n+CMGS: 12\r\n\r\nOK\r\n"
CMS_ERROR_REPLY = b"\r\n+CMS ERROR: 500\r\n"
PROMPT = b"\r\n> "
CMGS_KEYS = {"prompt", "prompt_delay", "prompt_error", "result", "result_delay",
             "result_error", "mr", "check_length", "length_error", "escape",
             "split", "parts", "prompts", "results", "forgive"}


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


def unsolicited(line, at="start", *, k=None, match=None, part=None,
                delay=0.0, every=False):
    """One unsolicited line for set_unsolicited: text is framed CR LF ...
    CR LF, bytes go as they are. `at`: "start" (now), "command" (after the
    answer to the k-th command line, of those beginning with `match`),
    "before_prompt", "prompt" (between the prompt and the PDU), "result"
    (after the Ctrl-Z, before the answer), "before_ok" (between "+CMGS" and
    "OK"), these in the dialogue of the part-th AT+CMGS when given; `delay`
    s after that moment; once unless `every`."""
    data = line if isinstance(line, (bytes, bytearray)) else \
        b"\r\n" + line.encode("latin-1") + b"\r\n"
    entry = {"at": at, "data": bytes(data).hex(), "delay": float(delay),
             "every": every}
    for key, value in (("k", k), ("match", match), ("part", part)):
        if value is not None:
            entry[key] = value
    return entry


def decode_pdu(pdu):
    """A recorded PDU decoded by python3-gammu (service-centre part first)."""
    import gammu
    return gammu.DecodePDU(bytes.fromhex(pdu), SMSC=True)


class PtyLine:
    """The Windows side of the modem's pty, opened directly: for talking to
    the simulated modem without Wine."""

    def __init__(self, link):
        self.fd = os.open(str(link), os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        tty.setraw(self.fd)
        self.stream = bytearray()  # read, not yet taken by read_until

    def write(self, data):
        """Writes `data`; returns time.monotonic() just before."""
        t = time.monotonic()
        os.write(self.fd, data)
        return t

    def _read(self, until):
        left = until - time.monotonic()
        if left > 0 and select.select([self.fd], [], [], left)[0]:
            try:
                self.stream += os.read(self.fd, 65536)
            except BlockingIOError:
                pass
            return True
        return False

    def read_until(self, needle, timeout):
        """(bytes up to and including `needle`, time.monotonic() when the
        read that completed it returned), or (what came, None) after
        `timeout` s."""
        end = time.monotonic() + timeout
        while needle not in self.stream:
            if not self._read(end):
                if time.monotonic() >= end:
                    got = bytes(self.stream)
                    self.stream.clear()
                    return got, None
        i = self.stream.index(needle) + len(needle)
        got = bytes(self.stream[:i])
        del self.stream[:i]
        return got, time.monotonic()

    def read_for(self, seconds):
        """Everything that arrives within `seconds`."""
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            self._read(end)
        got = bytes(self.stream)
        self.stream.clear()
        return got

    def close(self):
        if self.fd is not None:
            os.close(self.fd)
            self.fd = None


class SimModem(ModemFaults, ModemStore):
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

    # -- the prompt-driven dialogue (see tools/simmodem/dialogue.py) ------------

    def set_cmgf(self, result="ok", *, delay=0.0, script=None, error="ERROR"):
        """How "AT+CMGF=0" is answered: "ok" (CR LF OK CR LF), "error" (the
        line `error`) or "silence", after `delay` s; `script` gives the first
        answers one by one. None: back to the reply tables."""
        cmgf = None if result is None else {
            "result": result, "delay": float(delay), "script": list(script or []),
            "error": error}
        self._call(op="set", cmgf=cmgf)

    def set_cmgs(self, off=False, **options):
        """"AT+CMGS=<n>" as a real modem runs it. Options (all optional):
        prompt ("prompt" | "error" | "silence"), prompt_delay, prompt_error,
        result ("ok" | "error" | "silence"), result_delay, result_error,
        mr (the first part's reference), check_length, length_error,
        escape ("silence" | "ok": the answer to ESC), split ({"size", "gap"}),
        parts ([{options for the 1st AT+CMGS}, {... 2nd}, ...]),
        prompts (["silence", "prompt", "error" or an error line, ...]: the
        prompt of the 1st, 2nd ... AT+CMGS), results (the same with "ok"
        for the answer to the 1st, 2nd ... PDU past the length check).
        off=True: back to the reply tables."""
        unknown = set(options) - CMGS_KEYS
        if unknown:
            raise ValueError(f"unknown AT+CMGS options {sorted(unknown)}")
        self._call(op="set", cmgs=None if off else options)

    def set_unsolicited(self, *entries):
        """Lines of the modem's own at chosen moments (see unsolicited());
        replaces the earlier ones, none: no more."""
        self._call(op="set", unsolicited=list(entries))

    def set_echo(self, from_command=0, *, ate=True, pdu=False):
        """Echo on from the from_command-th command line after this call
        (0: the next); ATE0/ATE1 switch it unless ate=False; pdu=True echoes
        PDU input too. None: no echo."""
        echo = None if from_command is None else {
            "from": int(from_command), "ate": ate, "pdu": pdu}
        self._call(op="set", echo=echo)

    def set_split(self, size, gap=0.0):
        """Every answer in pieces of `size` bytes, `gap` s apart; None: whole."""
        split = None if size is None else {"size": int(size), "gap": float(gap)}
        self._call(op="set", split=split)

    def pdus(self):
        """Every PDU ended by Ctrl-Z, in order: {"t", "part" (AT+CMGS count
        since start), "length" (its argument), "pdu" (the hex text as
        received), "length_ok", "result", "mr" (None unless "+CMGS"),
        "first_t" (its first byte), "prompt_due" (its prompt's last byte)}."""
        return [e for e in self._entries() if e.get("event") == "pdu"]

    def mrs(self):
        """The message reference of every part answered "+CMGS"."""
        return [e["mr"] for e in self.pdus() if e["mr"] is not None]

    def abandoned(self):
        """PDU input ended by ESC: {"t", "part", "pdu"}."""
        return [e for e in self._entries() if e.get("event") == "pdu-abandoned"]

    def wait_pdus(self, count, timeout):
        """The PDU records once there are `count`, or None after `timeout` s."""
        end = time.monotonic() + timeout
        while True:
            pdus = self.pdus()
            if len(pdus) >= count:
                return pdus
            if time.monotonic() > end or self.popen.poll() is not None:
                return None
            time.sleep(0.02)

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
