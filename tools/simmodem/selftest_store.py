"""The self-test of the message store: listing, deleting, messages stored at
chosen moments (during a send too) and the status reports of PDUs that ask
for one. Same line and checks as selftest.py, on a modem of its own."""
import pathlib
import tempfile

# An SMS-DELIVER "hi" from +8613912345678, service centre in front.
DELIVER = "0891683108200505F0040D91683119325476F800006221802143102302E834"
# "你好" to 12345678901, without (0x11) and with (0x31) TP-SRR.
SUBMIT = "0011000B912143658709F10008AA044F60597D"
SUBMIT_SRR = "0031000B912143658709F10008AA044F60597D"


def send(line, pdu, wait=0.1):
    line.say(b"at+cmgs=18\r", wait)
    return line.say(pdu.encode() + b"\x1a", wait)


def store_checks(m, line, check):
    set_ = m.control
    check("empty list", line.say(b"AT+CMGL=4\r") == b"\r\nOK\r\n")
    i = set_({"op": "store", "pdu": DELIVER})["index"]
    j = set_({"op": "store", "pdu": DELIVER.lower(), "stat": 1, "notify": True})["index"]
    check("indexes", (i, j) == (1, 2))
    check("cmti", line.say() == b'\r\n+CMTI: "SM",2\r\n')
    listed = (f"\r\n+CMGL: 1,0,,22\r\n{DELIVER}\r\n+CMGL: 2,1,,22\r\n{DELIVER}"
              "\r\n\r\nOK\r\n").encode()
    check("list", line.say(b"AT+CMGL=4\r") == listed)
    check("read now", line.say(b"AT+CMGL=0\r") == b"\r\nOK\r\n")
    check("delete", line.say(b"AT+CMGD=1\r") == b"\r\nOK\r\n")
    check("delete again", line.say(b"AT+CMGD=1\r") == b"\r\n+CMS ERROR: 321\r\n")
    check("delete flag", line.say(b"at+cmgd=2,0\r") == b"\r\nOK\r\n")
    check("all gone", set_({"op": "stored"})["messages"] == [])
    # Later: after a time, and on the answer to the 2nd AT+CMGS from now.
    set_({"op": "store", "pdu": DELIVER, "after": 0.2})
    set_({"op": "store", "pdu": DELIVER, "k": 2, "match": "AT+CMGS", "notify": True})
    check("not yet", line.say(b"AT\r", 0.1) == b"OK\r\n" and
          set_({"op": "stored"})["messages"] == [])
    line.say(b"", 0.2)
    check("after", [x["index"] for x in set_({"op": "stored"})["messages"]] == [1])
    send(line, SUBMIT)
    line.say(b"at+cmgs=18\r", 0.1)
    check("during a send", line.last == b'\r\n> \r\n+CMTI: "SM",2\r\n')
    line.say(SUBMIT.encode() + b"\x1a")
    check("stored in the send", len(set_({"op": "stored"})["messages"]) == 2)
    for n in (1, 2):
        line.say(f"AT+CMGD={n}\r".encode())
    # Reports: only for a PDU with TP-SRR, with its mr and recipient.
    set_({"op": "set", "cmgs": {"mr": 41},
          "reports": {"delay": 0.1, "script": [{"st": 0x46, "notify": True}]}})
    send(line, SUBMIT)
    send(line, SUBMIT_SRR)
    line.say(b"", 0.2)
    check("cdsi", line.last == b'\r\n+CDSI: "SM",1\r\n')
    send(line, SUBMIT_SRR)
    line.say(b"", 0.2)
    reports = [x["pdu"] for x in set_({"op": "stored"})["messages"]]
    check("reports", reports == [
        "0891683108200505F0062A0B912143658709F1622180210000236221802100002346",
        "0891683108200505F0062B0B912143658709F1622180210000236221802100002300"])
    set_({"op": "set", "reports": None})
    send(line, SUBMIT_SRR)
    line.say(b"", 0.2)
    check("reports off", len(set_({"op": "stored"})["messages"]) == 2)
    # Forgiving: an error once per PDU, then it goes through.
    set_({"op": "set", "reports": None, "cmgs": {
        "results": ["+CMS ERROR: 332"] * 3, "forgive": True}})
    answers = [send(line, p) for p in (SUBMIT, SUBMIT, SUBMIT_SRR)]
    check("forgive", [b"332" in a for a in answers] == [True, False, True])
    # A store of three places: the fourth message finds it full.
    set_({"op": "set", "capacity": 3})
    indexes = [set_({"op": "store", "pdu": DELIVER})["index"] for _ in range(2)]
    check("capacity", indexes == [3, None])
    set_({"op": "set", "redeliver": 0.1})
    check("full again", set_({"op": "store", "pdu": DELIVER})["index"] is None)
    line.say(b"AT+CMGD=3\r")
    line.say(b"", 0.3)
    check("redelivered", [x["index"] for x in set_({"op": "stored"})["messages"]] == [1, 2, 3])


def self_test_store(Modem, Line, check):
    with tempfile.TemporaryDirectory() as d:
        m = Modem(d, pathlib.Path(d) / "tty")
        line = Line(m)
        try:
            store_checks(m, line, check)
        finally:
            line.close()
            m.close_pty()
