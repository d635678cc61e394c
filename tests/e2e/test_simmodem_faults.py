"""The simulated modem's faults as the gateway's side sees them: a port
unplugged under an open handle and back under the same COM name (through
the port probe under Wine), and the network-state queries and scripted
answers through the harness's own calls (over the pty, no Wine)."""
import pathlib
import re
import time

import pytest

from harness.modem import PROMPT, PtyLine

PROBE_LINE = re.compile(r"^(raw-[a-z]+|mark|end)( |$)")
AT = b"AT\r".hex()
OK = b"OK\r\n".hex()
OUTAGE_S = 3.0
# ERROR_NOT_READY, ERROR_BROKEN_PIPE, ERROR_INVALID_FUNCTION
NOT_READY, BROKEN_PIPE, INVALID_FUNCTION = 21, 109, 1


def probe_lines(out):
    """The probe's own lines: the wineserver, whose controlling terminal the
    pty was, dumps its objects into the same output when it hangs up."""
    return [x for x in out.replace("\r", "").splitlines() if PROBE_LINE.match(x)]


def test_port_unplugged_and_back_under_the_same_name(modem, win_build):
    probe = modem.prefix.start(
        pathlib.Path(win_build) / "bin" / "port_probe.exe",
        "raw-open", 1, "raw-write", AT, "raw-read", 4, 2000, "mark", "opened",
        "sleep", 500,
        # The old handle, its device gone.
        "raw-status", "raw-write", AT, "raw-read", 4, 500, "raw-close",
        # A new open while the modem is away.
        "raw-open", 1, "raw-status", "raw-write", AT,
        # Opened again until the line answers, then the modem answers.
        "raw-reopen", 1, 15000, "raw-write", AT, "raw-read", 4, 2000)
    try:
        assert probe.wait_for_output("mark opened", 30), probe.output()
        modem.unplug(OUTAGE_S)
        assert not modem.plug_state()["plugged"]
        assert probe.wait(30) == 0
    finally:
        probe.kill()
    lines = probe_lines(probe.output())
    reopen = [x for x in lines if x.startswith("raw-reopen")]
    assert lines == [
        "raw-open ok", "raw-write 1 3 0", f"raw-read 1 4 {OK} 0", "mark opened",
        f"raw-status clear=0/{NOT_READY} inque=0 dcb=0/{NOT_READY}",
        f"raw-write 0 0 {NOT_READY}", f"raw-read 0 0 - {BROKEN_PIPE}", "raw-close 1",
        # Wine opens COM1 without its device (its own serial device object),
        # and every call on that handle fails.
        "raw-open ok",
        f"raw-status clear=0/{INVALID_FUNCTION} inque=0 dcb=0/{INVALID_FUNCTION}",
        f"raw-write 0 0 {INVALID_FUNCTION}",
        *reopen, "raw-write 1 3 0", f"raw-read 1 4 {OK} 0", "end"], "\n".join(lines)
    # The reopen had to wait for the modem's return, and then got it.
    waited = int(reopen[0].split()[-1]) if reopen[0].startswith("raw-reopen ok") else -1
    assert 500 <= waited <= OUTAGE_S * 1000 + 2000, reopen
    events = [(e["event"], e["t"]) for e in modem.pty_events()]
    assert [e for e, _ in events] == ["pty", "hangup", "unplug", "pty"], events
    assert OUTAGE_S <= events[3][1] - events[2][1] < OUTAGE_S + 0.5, events
    # The write into the gap reached nobody.
    assert modem.received_bytes() == b"AT\rAT\r"


def ask(line, command, wait=0.3):
    line.write(command)
    return line.read_for(wait)


def test_watch_queries_scripts_and_unplug_through_the_harness(bare_modem):
    m, line = bare_modem, bare_modem.line
    assert ask(line, b"AT+CSQ\r") == b"OK\r\n"  # nothing asked for: the table
    m.set_signal(17)
    m.set_network(5)
    m.set_operator("CMCC")
    assert ask(line, b"AT+CSQ\r") == b"\r\n+CSQ: 17,99\r\n\r\nOK\r\n"
    assert ask(line, b"AT+CREG?\r") == b"\r\n+CREG: 0,5\r\n\r\nOK\r\n"
    assert ask(line, b"AT+COPS?\r") == b'\r\n+COPS: 0,0,"CMCC"\r\n\r\nOK\r\n'
    m.set_watch_answer("AT+CSQ", "error", error="+CME ERROR: 10", script=["silence"])
    assert ask(line, b"AT+CSQ\r") == b""
    assert ask(line, b"AT+CSQ\r") == b"\r\n+CME ERROR: 10\r\n"
    m.set_watch_answer("AT+CSQ")
    m.set_signal(3)
    assert ask(line, b"AT+CSQ\r") == b"\r\n+CSQ: 3,99\r\n\r\nOK\r\n"
    m.watch_off("AT+CSQ")
    assert ask(line, b"AT+CSQ\r") == b"OK\r\n"
    assert ask(line, b"AT+CREG?\r") == b"\r\n+CREG: 0,5\r\n\r\nOK\r\n"
    m.watch_off()
    assert ask(line, b"AT+COPS?\r") == b"OK\r\n"

    # No prompt once, a temporary error, then sent with the first mr.
    pdu = b"0011000B912143658709F10008AA044F60597D"
    m.set_cmgs(mr=3, prompts=["silence"], results=["+CMS ERROR: 332"])
    assert ask(line, b"at+cmgs=18\r") == b""
    assert ask(line, b"\x1b") == b""
    answers = []
    for _ in range(2):
        assert ask(line, b"at+cmgs=18\r") == PROMPT
        answers.append(ask(line, pdu + b"\x1a"))
    assert answers == [b"\r\n+CMS ERROR: 332\r\n", b"\r\n+CMGS: 3\r\n\r\nOK\r\n"]
    assert [p["result"] for p in m.pdus()] == ["error", "ok"] and m.mrs() == [3]

    # Unplugged: the old end fails, the modem comes back by itself.
    m.unplug(0.5)
    t0 = time.monotonic()
    assert not m.plug_state()["plugged"] and not m.link.exists()
    with pytest.raises(OSError):
        line.write(b"AT\r")
    assert m.wait_plugged(5)
    assert 0.4 <= time.monotonic() - t0 < 1.5
    line.close()
    m.line = line = PtyLine(m.link)
    assert ask(line, b"AT\r") == b"OK\r\n"
    assert [e["event"] for e in m.pty_events()][-3:] == ["hangup", "unplug", "pty"]
