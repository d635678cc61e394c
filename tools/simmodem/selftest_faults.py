"""The self-test of what the modem does beyond the dialogue of a send: the
network-state queries, scripted prompts and results, and a pty pulled and
put back. Same line and checks as selftest.py, on a modem of its own."""
import os
import pathlib
import tempfile
import time

# 18 octets after the empty service-centre part, as in selftest.py.
PDU = b"0011000B912143658709F10008AA044F60597D"
CMGS = b"at+cmgs=18\r"


def send(line, wait=0.1):
    """One whole AT+CMGS dialogue: (prompt answer, PDU answer)."""
    return line.say(CMGS, wait), line.say(PDU + b"\x1a", wait)


def wait_plugged(m, seconds):
    """Runs the modem's timers by hand; the time it took the pty to come
    back, or None."""
    t0 = time.monotonic()
    while time.monotonic() < t0 + seconds:
        m.pump_due()
        if m.master is not None:
            return time.monotonic() - t0
        time.sleep(0.005)
    return None


def refused(m, req):
    try:
        m.control(req)
    except ValueError:
        return True
    return False


def watch_checks(m, line, check):
    set_ = m.control
    # Not asked for: the plain AT reply, as every test so far relies on.
    check("csq table", line.say(b"AT+CSQ\r") == b"OK\r\n")
    check("creg table", line.say(b"AT+CREG?\r") == b"OK\r\n")
    set_({"op": "set", "watch": {"csq": {"rssi": 17, "ber": 0}}})
    check("csq", line.say(b"AT+CSQ\r") == b"\r\n+CSQ: 17,0\r\n\r\nOK\r\n")
    check("creg not named", line.say(b"AT+CREG?\r") == b"OK\r\n")
    set_({"op": "set", "watch": {"creg": {}, "cops": {}}})
    check("creg default", line.say(b"at+creg?\r") == b"\r\n+CREG: 0,1\r\n\r\nOK\r\n")
    check("cops default", line.say(b"AT+COPS?\r") ==
          b'\r\n+COPS: 0,0,"CHINA MOBILE"\r\n\r\nOK\r\n')
    set_({"op": "set", "watch": {"csq": {"rssi": 31},
                                 "creg": {"n": 2, "stat": 5, "lac": "1A2B", "ci": "00C3"},
                                 "cops": {"name": "CMCC", "format": 2}}})
    check("csq merged", line.say(b"AT+CSQ\r") == b"\r\n+CSQ: 31,0\r\n\r\nOK\r\n")
    check("creg location", line.say(b"AT+CREG?\r") ==
          b'\r\n+CREG: 2,5,"1A2B","00C3"\r\n\r\nOK\r\n')
    check("cops name", line.say(b"AT+COPS?\r") == b'\r\n+COPS: 0,2,"CMCC"\r\n\r\nOK\r\n')
    set_({"op": "set", "watch": {"cops": {"name": None}}})
    check("cops unregistered", line.say(b"AT+COPS?\r") == b"\r\n+COPS: 0\r\n\r\nOK\r\n")
    # Silence and errors, scripted and for good; the delay of the whole answer.
    set_({"op": "set", "watch": {"creg": {"script": ["silence", "error", "silence"],
                                          "error": "+CME ERROR: 30"}}})
    check("creg silent", line.say(b"AT+CREG?\r") == b"")
    check("creg error", line.say(b"AT+CREG?\r") == b"\r\n+CME ERROR: 30\r\n")
    check("creg silent again", line.say(b"AT+CREG?\r") == b"")
    check("creg after script", line.say(b"AT+CREG?\r") ==
          b'\r\n+CREG: 2,5,"1A2B","00C3"\r\n\r\nOK\r\n')
    set_({"op": "set", "watch": {"cops": {"result": "error"}, "csq": {"result": "silence"}}})
    check("cops error", line.say(b"AT+COPS?\r") == b"\r\nERROR\r\n")
    check("cops error stays", line.say(b"AT+COPS?\r") == b"\r\nERROR\r\n")
    check("csq silence", line.say(b"AT+CSQ\r") == b"")
    set_({"op": "set", "watch": {"csq": {"result": "ok", "delay": 0.15}}})
    out = line.talk(b"AT+CSQ\r", 0.3)
    check("csq delay", out and out[0][0] >= 0.15 and
          b"".join(b for _, b in out) == b"\r\n+CSQ: 31,0\r\n\r\nOK\r\n")
    # The command table still comes first; one query off, then all.
    set_({"op": "set", "commands": {"AT+CSQ": [[0, b"tbl\r\n".hex()]]}})
    check("table first", line.say(b"AT+CSQ\r") == b"tbl\r\n")
    set_({"op": "set", "commands": {}, "watch": {"csq": None}})
    check("csq off", line.say(b"AT+CSQ\r") == b"OK\r\n")
    check("cops still on", line.say(b"AT+COPS?\r") == b"\r\nERROR\r\n")
    set_({"op": "set", "watch": None})
    check("all off", line.say(b"AT+COPS?\r") + line.say(b"AT+CREG?\r") == b"OK\r\nOK\r\n")
    check("bad command refused", refused(m, {"op": "set", "watch": {"cgreg": {}}}))
    check("bad key refused", refused(m, {"op": "set", "watch": {"csq": {"rsi": 1}}}))
    check("bad answer refused", refused(m, {"op": "set", "watch": {"csq": {"script": ["x"]}}}))


def script_checks(m, line, check):
    set_ = m.control
    # A temporary error, then success: the scripted results one per PDU
    # that got past the length check, mr only for the ones sent.
    set_({"op": "set", "cmgs": {"mr": 40, "results": [
        "+CMS ERROR: 332", "silence", "error", "ok", "+CME ERROR: 515"]}})
    line.say(CMGS)
    check("length first", line.say(PDU[:-2] + b"\x1a") == b"\r\n+CMS ERROR: 304\r\n")
    check("result 332", send(line) == (b"\r\n> ", b"\r\n+CMS ERROR: 332\r\n"))
    check("result silence", send(line)[1] == b"")
    check("result error", send(line)[1] == b"\r\n+CMS ERROR: 500\r\n")
    check("result ok mr 40", send(line)[1] == b"\r\n+CMGS: 40\r\n\r\nOK\r\n")
    check("result cme", send(line)[1] == b"\r\n+CME ERROR: 515\r\n")
    check("past the script", send(line)[1] == b"\r\n+CMGS: 41\r\n\r\nOK\r\n")
    # No prompt once, then the retry goes through; the scripts are counted
    # apart (the abandoned PDU uses no result).
    set_({"op": "set", "cmgs": {"mr": 9, "prompts": ["silence", "+CMS ERROR: 331", "ok"],
                                "results": ["+CMS ERROR: 332"]}})
    check("no prompt once", line.say(CMGS) == b"")
    check("escape after no prompt", line.say(b"0011\x1b") == b"")
    check("prompt error", line.say(CMGS) == b"\r\n+CMS ERROR: 331\r\n")
    check("command mode", line.say(b"AT\r") == b"OK\r\n")
    check("prompt then 332", send(line) == (b"\r\n> ", b"\r\n+CMS ERROR: 332\r\n"))
    check("then sent mr 9", send(line) == (b"\r\n> ", b"\r\n+CMGS: 9\r\n\r\nOK\r\n"))
    check("bad script refused", refused(m, {"op": "set", "cmgs": {"results": "ok"}}))


def unplug_checks(m, line, check):
    set_ = m.control
    set_({"op": "set", "cmgs": {"mr": 5}, "watch": {"csq": {"rssi": 9}}})
    check("mr before", send(line)[1] == b"\r\n+CMGS: 5\r\n\r\nOK\r\n")
    set_({"op": "unplug", "seconds": 0.3})
    state = set_({"op": "state"})
    check("unplugged", not state["plugged"] and 0.2 < state["replug_in"] <= 0.3)
    check("link gone", not os.path.lexists(m.link))
    try:
        os.write(line.fd, b"AT\r")
        check("old end fails", False)
    except OSError:
        check("old end fails", True)
    line.close()
    took = wait_plugged(m, 2)
    check("back in time", took is not None and 0.25 <= took < 0.6)
    if took is None:
        return
    check("same link", os.path.islink(m.link) and os.readlink(m.link) != ""
          and set_({"op": "state"})["path"] == os.readlink(m.link))
    line.__init__(m)
    # The same modem: its settings and its mr go on.
    check("answers again", line.say(b"AT\r") == b"OK\r\n")
    check("watch kept", line.say(b"AT+CSQ\r") == b"\r\n+CSQ: 9,99\r\n\r\nOK\r\n")
    check("mr goes on", send(line)[1] == b"\r\n+CMGS: 6\r\n\r\nOK\r\n")
    # A hangup cancels a return still due; a restore brings it back.
    set_({"op": "unplug", "seconds": 0.1})
    line.close()
    set_({"op": "hangup"})
    check("hangup stays", wait_plugged(m, 0.3) is None)
    set_({"op": "unplug", "seconds": None})
    check("unplug for good", wait_plugged(m, 0.2) is None
          and set_({"op": "state"})["replug_in"] is None)
    set_({"op": "restore"})
    line.__init__(m)
    check("restored", line.say(b"AT\r") == b"OK\r\n")


def self_test_faults(Modem, Line, check):
    with tempfile.TemporaryDirectory() as d:
        m = Modem(d, pathlib.Path(d) / "tty")
        line = Line(m)
        try:
            watch_checks(m, line, check)
            script_checks(m, line, check)
            unplug_checks(m, line, check)
        finally:
            try:
                line.close()
            except OSError:  # closed already where a check failed
                pass
            m.close_pty()
