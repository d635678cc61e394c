"""Long messages through the real Varnix.exe under Wine: concatenated parts
in the classic dialogue (each part the whole dialogue with its pauses, one
Status per message) and the prompt-driven dialogue against a modem that
answers as real ones do, with its errors, silences, echo, unsolicited lines
and answers in pieces. Every PDU is decoded by python3-gammu as well."""
import time

import gammu
import pytest

from harness.dde import ClientOutput, esc, run_client, served, start_client
from harness.fixtures_app import DEFAULTS
from harness.modem import decode_pdu, unsolicited

# The x64 build only: the per-part dialogue is the same portable core on
# both builds, and its waits (a full minute of modem silence among them) would
# double the run; the x86 build's Varnix.exe is covered by the start-up,
# dialogue, DDE, abuse and shutdown tests.
pytestmark = pytest.mark.parametrize("app_build", ["x64"], indirect=True)

CONNECT = "connect Varnix SMS0"
NUMBER = "13800138000"
SWAPPED = "3108108300F0"  # NUMBER in swapped semi-octets
CMGF = b"at+cmgf=0\r"
ESC = b"\x1b"
CTRLZ = b"\x1a"


def submit(number, text):
    return [f"poke Num {esc(number)}", f"poke SMS {esc(text)}", "poke Send 1"]


def wall_offset():
    return time.time() - time.monotonic()


def gsm7_part(septets, ref, total, seq):
    """(PDU text, AT+CMGS length) of one GSM 7-bit part with the 8-bit
    reference header: 6 header octets, one fill bit, then the septets,
    everything packed least significant bit first."""
    value, pos = 0, 0
    for octet in (5, 0, 3, ref, total, seq):
        value |= octet << pos
        pos += 8
    pos += 1
    for s in septets:
        value |= s << pos
        pos += 7
    ud = value.to_bytes((pos + 7) // 8, "little")
    tpdu = f"51000BC1{SWAPPED}0000AA{7 + len(septets):02X}" + ud.hex().upper()
    return "00" + tpdu, len(tpdu) // 2


def joined(records):
    """The recorded PDUs joined into one text by python3-gammu."""
    sms = [[decode_pdu(r["pdu"])] for r in records]
    linked = gammu.LinkSMS(sms)
    assert len(linked) == 1, linked
    return gammu.DecodeSMS(linked[0])["Entries"][0]["Buffer"]


def part_header(pdu):
    """(reference, total, sequence) of a concatenated part, as gammu reads it."""
    udh = decode_pdu(pdu)["UDH"]
    return udh["ID8bit"], udh["AllParts"], udh["PartNumber"]


# -- the classic dialogue -------------------------------------------------------

CLASSIC_DELAY = 300
TWO_PARTS = "长" * 100   # 67 + 33 UCS-2 units
THREE_PARTS = "信" * 150  # 67 + 67 + 16


def test_classic_dialogue_runs_whole_per_part_and_publishes_once(app, modem):
    app.write_settings(**dict(DEFAULTS, Delay=CLASSIC_DELAY), Parts=3)
    app.start()
    app.wait_started()
    watcher = start_client(app.prefix, app.win_build, CONNECT, "advise Status",
                           "echo ADVISED", "waitadv 3 90000")
    watcher.wait_for("ADVISED")
    modem.set_cmgs()
    start = len(modem.commands())
    run_client(app.prefix, app.win_build, CONNECT, *submit(NUMBER, TWO_PARTS))
    watcher.wait_count("advdata", 1, 30)
    done = time.monotonic()
    # Published once both parts were through, not after the first.
    assert len(modem.pdus()) == 2
    time.sleep(0.5)
    assert watcher.count("advdata") == 1

    cmds = modem.commands()[start:]
    kinds = [c[:8] if not c.endswith(CTRLZ) else b"pdu" for _, c in cmds]
    assert kinds == [CMGF[:8], b"at+cmgs=", b"pdu"] * 2, cmds
    # The same pauses as a one-part message, twice: 1000 ms after each
    # command, then Delay after the PDU before the next part begins.
    times = [t for t, _ in cmds]
    gaps = [b - a for a, b in zip(times, times[1:])]
    for gap, low in zip(gaps, (1.0, 1.0, CLASSIC_DELAY / 1000, 1.0, 1.0)):
        assert low - 0.05 <= gap <= low + 0.5, gaps
    assert done - times[-1] >= CLASSIC_DELAY / 1000 - 0.05
    records = modem.pdus()
    assert len(records) == 2 and all(r["length_ok"] for r in records), records
    assert [part_header(r["pdu"])[1:] for r in records] == [(2, 1), (2, 2)]
    assert joined(records) == TWO_PARTS
    assert [int(c[len(b"at+cmgs="):-1]) for _, c in cmds if c.startswith(b"at+cmgs=")] == \
        [r["length"] for r in records]

    # Part 2 of 3 refused: "0", and part 3 never goes out.
    modem.set_cmgs(parts=[{}, {"result": "error"}])
    start = len(modem.commands())
    run_client(app.prefix, app.win_build, CONNECT, *submit(NUMBER, THREE_PARTS))
    watcher.wait_count("advdata", 2, 40)
    time.sleep(1.5)
    cmds = modem.commands()[start:]
    assert [c[:8] for _, c in cmds if not c.endswith(CTRLZ)] == [CMGF[:8], b"at+cmgs="] * 2, cmds
    assert len([c for _, c in cmds if c.endswith(CTRLZ)]) == 2

    # A one-part message after it is sent whole, with its own Status.
    modem.set_cmgs()
    run_client(app.prefix, app.win_build, CONNECT, *submit(NUMBER, "ok"))
    result = watcher.finish(40)
    assert [a["hex"] for a in result.of("advdata")] == [served(v) for v in "101"], result.text
    assert decode_pdu(modem.pdus()[-1]["pdu"])["Text"] == "ok"


# -- the prompt-driven dialogue -------------------------------------------------

GSM_TEXT = "".join(chr(ord("a") + i % 26) for i in range(330))  # 153 + 153 + 24
ONE = "hello"
ONE_CMGS = b"at+cmgs=19\r"  # 14 header octets and 5 of packed septets
TWO = "Varnix " * 30  # 210 septets: 153 + 57
QUICK = dict(prompt_delay=0.05, result_delay=0.2)


def quiet(modem):
    modem.set_unsolicited()
    modem.set_echo(None)
    modem.set_split(None)
    modem.set_cmgf("ok", delay=0.05)


def expected_gsm_parts(text, ref):
    septets = [ord(c) for c in text]
    cuts = [septets[i:i + 153] for i in range(0, len(septets), 153)]
    return [gsm7_part(c, ref, len(cuts), n + 1) for n, c in enumerate(cuts)]


def wire(parts):
    """The bytes of a whole prompt-driven dialogue that sends every part."""
    out = CMGF
    for pdu, length in parts:
        out += b"at+cmgs=%d\r" % length + pdu.encode() + CTRLZ
    return out


def test_prompt_dialogue_outcomes(app, modem):
    """One gateway, one message per case; each case leaves the modem idle."""
    app.write_settings(**dict(DEFAULTS, Delay=300), Parts=3, Alphabet=1, Dialogue=1)
    app.start()
    app.wait_started()
    watcher = start_client(app.prefix, app.win_build, CONNECT, "advise Status",
                           "echo ADVISED", "waitadv 9 200000")
    watcher.wait_for("ADVISED")
    offset = wall_offset()
    published = []

    def send(text, expect, timeout=20):
        """Sends one message; returns (bytes the modem received for it, its
        PDU records, when its Status came, wall-clock seconds)."""
        rx, pdus = len(modem.received_bytes()), len(modem.pdus())
        run_client(app.prefix, app.win_build, CONNECT, *submit(NUMBER, text))
        published.append(expect)
        watcher.wait_count("advdata", len(published), timeout)
        got = ClientOutput(watcher.started.output().replace("\r", "")).of("advdata")[-1]
        assert got["hex"] == served(expect), (text[:20], got)
        t = float(got["t"]) / 1000
        return modem.received_bytes()[rx:], modem.pdus()[pdus:], t

    # The exact bytes of a 3-part GSM 7-bit message; one reference, three
    # message references one after the other.
    quiet(modem)
    modem.set_cmgs(mr=40, **QUICK)
    rx, records, _ = send(GSM_TEXT, "1")
    ref = part_header(records[0]["pdu"])[0]
    assert rx == wire(expected_gsm_parts(GSM_TEXT, ref)), rx
    assert [r["mr"] for r in records] == [40, 41, 42]
    assert [part_header(r["pdu"]) for r in records] == [(ref, 3, n) for n in (1, 2, 3)]
    assert joined(records) == GSM_TEXT
    # The PDU only after its prompt.
    assert all(r["first_t"] >= r["prompt_due"] for r in records)

    # An error at the prompt: the PDU never goes out, nothing else follows.
    modem.set_cmgs(prompt="error", **QUICK)
    rx, records, _ = send(ONE, "0")
    assert rx == CMGF + ONE_CMGS and records == [], rx

    # No prompt: ESC after 5 s, no PDU written.
    modem.set_cmgs(prompt="silence", **QUICK)
    rx, records, _ = send(ONE, "0")
    assert rx == CMGF + ONE_CMGS + ESC and records == [], rx
    times = [t for t, c in modem.commands() if c in (ONE_CMGS, ESC)][-2:]
    assert 4.9 <= times[1] - times[0] <= 6.5, times

    # An error after part 2's PDU: "0", part 3 never announced.
    modem.set_cmgs(parts=[{}, {"result": "error"}], **QUICK)
    rx, records, _ = send(GSM_TEXT, "0")
    assert len(records) == 2 and rx.count(b"at+cmgs=") == 2, rx
    assert rx == wire(expected_gsm_parts(GSM_TEXT, (ref + 1) % 256)[:2]), rx
    assert records[0]["mr"] is not None and records[1]["mr"] is None

    # Every answer in pieces of 3 bytes: still "1", each part once.
    modem.set_cmgs(**QUICK)
    modem.set_split(3, 0.03)
    rx, records, _ = send(TWO, "1")
    assert len(records) == 2 and rx.count(CTRLZ) == 2
    assert joined(records) == TWO
    quiet(modem)

    # RING and "+CMTI" around the prompt, in the wait for the result and
    # between "+CMGS" and "OK": set aside, never the answer.
    modem.set_cmgs(**QUICK)
    modem.set_unsolicited(unsolicited("RING", "before_prompt", part=1),
                          unsolicited('+CMTI: "SM",3', "prompt", part=1),
                          unsolicited("RING", "result", part=2),
                          unsolicited('+CMTI: "SM",3', "before_ok", part=2, delay=0.1))
    rx, records, _ = send(TWO, "1")
    assert len(records) == 2 and [r["mr"] is not None for r in records] == [True, True]
    assert joined(records) == TWO

    # A RING before a "+CME ERROR" answer: the error counts.
    modem.set_cmgs(result="error", prompt_delay=0.05, result_delay=0.3,
                   result_error="+CME ERROR: 100")
    modem.set_unsolicited(unsolicited("RING", "result"))
    rx, records, _ = send(ONE, "0")
    assert len(records) == 1
    quiet(modem)

    # An echoing modem (echo back on, as after a reset).
    modem.set_cmgs(**QUICK)
    modem.set_echo(0, ate=False)
    rx, records, _ = send(TWO, "1")
    assert len(records) == 2 and joined(records) == TWO
    quiet(modem)

    # Silence after the PDU: "0" after 60 s, with RING and "+CMTI" in the
    # wait, and the PDU is never sent a second time.
    modem.set_cmgs(result="silence", **QUICK)
    modem.set_unsolicited(unsolicited("RING", "result", delay=1),
                          unsolicited('+CMTI: "SM",3', "result", delay=30))
    rx, records, t_status = send(ONE, "0", timeout=80)
    assert len(records) == 1 and rx.count(CTRLZ) == 1, rx
    waited = t_status - (records[0]["t"] + offset)
    assert 59.5 <= waited <= 63, waited
    count, seen = len(modem.pdus()), len(modem.received_bytes())
    time.sleep(1.5)
    assert (len(modem.pdus()), len(modem.received_bytes())) == (count, seen), \
        "a second attempt was made"

    result = watcher.finish(20)
    assert [a["hex"] for a in result.of("advdata")] == [served(v) for v in published], result.text
