"""The simulated modem's self-test: a modem talked to through its own slave
device, one scenario per behaviour, each judged on the bytes and their
times as the other end of the line reads them. Run by simmodem.py
--self-test (a ctest)."""
import json
import os
import pathlib
import select
import tempfile
import time
import tty

# 18 octets after the empty service-centre part: "你好" to 12345678901.
PDU = b"0011000B912143658709F10008AA044F60597D"
CMGS = b"at+cmgs=18\r"


class Line:
    """The Windows side of the pty, with the modem's loop run by hand."""

    def __init__(self, modem):
        self.m = modem
        self.last = b""
        self.fd = os.open(str(modem.link), os.O_RDWR | os.O_NOCTTY)
        tty.setraw(self.fd)

    def talk(self, data=b"", wait=0.3):
        """Writes `data`, runs the modem for `wait` s; returns what came
        back as [(seconds after the write, bytes)]."""
        t0 = time.monotonic()
        if data:
            os.write(self.fd, data)
        out = []
        while time.monotonic() < t0 + wait:
            r, _, _ = select.select([self.m.master, self.fd], [], [], 0.002)
            if self.m.master in r:
                self.m.received(os.read(self.m.master, 4096))
            self.m.pump_due()
            self.m.write_out()
            if self.fd in r:
                out.append((time.monotonic() - t0, os.read(self.fd, 4096)))
        return out

    def say(self, data=b"", wait=0.1):
        self.last = b"".join(b for _, b in self.talk(data, wait))
        return self.last

    def close(self):
        os.close(self.fd)


def first(out, needle):
    """Seconds until the stream holds `needle`, or None."""
    stream = b""
    for t, data in out:
        stream += data
        if needle in stream:
            return t
    return None


def self_test(Modem):
    failures = []
    line = None

    def check(name, cond):
        if os.environ.get("SIMMODEM_DEBUG"):
            print(name, cond, repr(line.last) if line else "")
        if not cond:
            failures.append(name)

    with tempfile.TemporaryDirectory() as d:
        m = Modem(d, pathlib.Path(d) / "tty")
        line = Line(m)
        set_ = m.control

        # The reply tables, as every test that sets nothing else relies on.
        check("at", line.say(b"AT\r") == b"OK\r\n")
        check("table prompt", line.say(b"at+cmgs=18\r") == b"\r\n> ")
        check("table pdu", line.say(b"0011\x1a") ==
              b"\r\n+CMGS: 12\r\n\r\nOK\r\n")

        # AT+CMGF=0: the table's answer until told, then a scripted ERROR
        # first (counted from there), then OK after its delay.
        check("cmgf table", line.say(b"AT+CMGF=0\r") == b"OK\r\n")
        set_({"op": "set", "cmgf": {"delay": 0.1, "script": ["error"]}})
        out = line.talk(b"at+cmgf=0\r")
        check("cmgf error", b"".join(b for _, b in out) == b"\r\nERROR\r\n")
        check("cmgf delay", (first(out, b"ERROR") or 0) >= 0.1)
        check("cmgf ok", line.say(b"AT+CMGF=0\r", 0.3) == b"\r\nOK\r\n")
        set_({"op": "set", "cmgf": {"script": ["error"]}})
        check("cmgf script again", line.say(b"AT+CMGF=0\r") == b"\r\nERROR\r\n")
        set_({"op": "set", "cmgf": {}})

        # AT+CMGS: the prompt after its delay, the answer after its own, mr
        # going up per part and wrapping, then the scripted failures.
        set_({"op": "set", "cmgs": {
            "mr": 254, "parts": [{"prompt_delay": 0.15, "result_delay": 0.2},
                                 {}, {}, {"result": "error"}, {"prompt": "error"},
                      {"prompt": "silence"}, {"result": "silence"}]}})
        out = line.talk(CMGS)
        t = first(out, b"\r\n> ")
        check("prompt delay", t is not None and 0.15 <= t < 0.35)
        check("prompt bytes", b"".join(b for _, b in out) == b"\r\n> ")
        out = line.talk(PDU + b"\x1a", 0.4)
        t = first(out, b"OK\r\n")
        check("result delay", t is not None and 0.2 <= t < 0.4)
        check("mr 254", b"".join(b for _, b in out) ==
              b"\r\n+CMGS: 254\r\n\r\nOK\r\n")
        line.say(CMGS)
        check("mr 255", b"+CMGS: 255\r" in line.say(PDU + b"\x1a"))
        line.say(CMGS)
        check("mr wraps", b"+CMGS: 0\r" in line.say(PDU + b"\x1a"))
        line.say(CMGS)
        check("result error", line.say(PDU + b"\x1a") ==
              b"\r\n+CMS ERROR: 500\r\n")
        check("prompt error", line.say(CMGS) == b"\r\n+CMS ERROR: 500\r\n")
        check("command mode after prompt error", line.say(b"AT\r") == b"OK\r\n")
        check("no prompt", line.say(CMGS) == b"")
        check("escape", line.say(b"00\x1b") == b"")
        line.say(CMGS)
        check("result silence", line.say(PDU + b"\x1a") == b"")
        line.say(CMGS)  # beyond the scripted parts: the defaults
        check("length checked", line.say(PDU[:-2] + b"\x1a") ==
              b"\r\n+CMS ERROR: 304\r\n")
        line.say(CMGS)
        check("mr not used by failures", b"+CMGS: 1\r" in line.say(PDU + b"\x1a"))
        check("bad argument", line.say(b"AT+CMGS=x\r") == b"\r\nERROR\r\n")

        # Unsolicited lines at start, after a counted command, between the
        # prompt and the PDU, before the answer and before its OK.
        set_({"op": "set", "cmgs": {"mr": 7}, "unsolicited": [
            {"at": "start", "data": b"\r\n^BOOT:1\r\n".hex()},
            {"at": "command", "k": 2, "data": b"\r\nRING\r\n".hex()},
            {"at": "prompt", "part": 1, "delay": 0.05,
             "data": b'\r\n+CMTI: "SM",3\r\n'.hex()},
            {"at": "result", "part": 1, "data": b"\r\nRING\r\n".hex()},
            {"at": "before_ok", "part": 2, "data": b"\r\nRING\r\n".hex()}]})
        check("start line", line.say() == b"\r\n^BOOT:1\r\n")
        check("not after command 1", line.say(b"AT\r") == b"OK\r\n")
        check("after command 2", line.say(b"AT\r") == b"OK\r\n\r\nRING\r\n")
        check("within prompt", line.say(CMGS) ==
              b'\r\n> \r\n+CMTI: "SM",3\r\n')
        check("before result", line.say(PDU + b"\x1a") ==
              b"\r\nRING\r\n\r\n+CMGS: 7\r\n\r\nOK\r\n")
        line.say(CMGS, 0.1)
        check("before ok", line.say(PDU + b"\x1a") ==
              b"\r\n+CMGS: 8\r\n\r\nRING\r\n\r\nOK\r\n")
        line.say(CMGS, 0.1)
        check("each once", line.say(PDU + b"\x1a") ==
              b"\r\n+CMGS: 9\r\n\r\nOK\r\n")

        # Echo back on from the second command line, off again at ATE0.
        set_({"op": "set", "unsolicited": [], "echo": {"from": 2}})
        check("no echo yet", line.say(b"AT\r") == b"OK\r\n")
        check("echo", line.say(b"at+cmgf=0\r") == b"at+cmgf=0\r\r\nOK\r\n")
        check("echo then off", line.say(b"ATE0\r") == b"ATE0\rOK\r\n")
        check("echo off", line.say(b"AT\r") == b"OK\r\n")

        # Answers in pieces: "\r\nOK\r\n" as 4 + 2 bytes, 0.1 s apart.
        set_({"op": "set", "echo": None, "split": {"size": 4, "gap": 0.1}})
        out = line.talk(b"AT+CMGF=0\r", 0.3)
        pieces = [b for _, b in out]
        check("pieces", pieces == [b"\r\nOK", b"\r\n"])
        check("piece gap", len(out) == 2 and out[1][0] - out[0][0] >= 0.09)

        line.close()
        m.close_pty()
        entries = [json.loads(x) for x in
                   (pathlib.Path(d) / "modem.log").read_text().splitlines()]
    rx = b"".join(bytes.fromhex(e["rx"]) for e in entries if "rx" in e)
    check("rx log", rx.startswith(b"AT\rat+cmgs=18\r0011\x1a"))
    pdus = [e for e in entries if e.get("event") == "pdu"]
    check("pdu record", pdus[0]["pdu"] == "0011" and not pdus[0]["length_ok"]
          and pdus[1]["pdu"] == PDU.decode() and pdus[1]["length_ok"])
    check("mr record", [e["mr"] for e in pdus if e["mr"] is not None] ==
          [254, 255, 0, 1, 7, 8, 9])
    check("abandoned record", [e["pdu"] for e in entries
                               if e.get("event") == "pdu-abandoned"] == ["00"])
    from selftest_faults import self_test_faults
    line = None
    self_test_faults(Modem, Line, check)
    from selftest_store import self_test_store
    self_test_store(Modem, Line, check)
    print("simmodem self-test", "passed" if not failures else
          "FAILED: " + ", ".join(failures))
    return 0 if not failures else 1
