"""Messages received through the real Varnix.exe under Wine: what the
simulated modem holds on its SIM reaches the Inbox item (CF_UNICODETEXT and
CF_TEXT) and the inbox log, and only then leaves the SIM; a message that
arrives during a send waits for its end; long messages are joined; a
garbled PDU harms nothing; with Receive and Report off not one byte more
goes to the modem than before."""
import re
import time

import pytest

from harness.dde import esc, run_client
from harness.fixtures_app import DEFAULTS
from harness.inbox import (CONNECT, ItemWatcher, inbox_lines, inbox_log, item_text,
                           of_id, unescape)
from harness.modem import decode_pdu
from harness.sms_pdu import deliver, garbled

# Receiving is the same portable core on both builds: the x64 build only.
pytestmark = pytest.mark.parametrize("app_build", ["x64"], indirect=True)

RECEIVE = dict(DEFAULTS, Delay=300, Dialogue=1, Receive=5)
QUICK = dict(prompt_delay=0.01, result_delay=0.02)
CMNI = b"AT+CNMI=0, 0, 0, 0, 0\r"
CMGL = b"AT+CMGL=4\r"
INTERVAL = 5


def submit(number, text):
    return [f"poke Num {esc(number)}", f"poke SMS {esc(text)}", "poke Send 1"]


def start(app, modem, **settings):
    app.write_settings(**dict(RECEIVE, **settings))
    modem.set_cmgf("ok")
    modem.set_cmgs(mr=7, **QUICK)
    app.start()
    app.wait_started()


def listings(modem):
    """The times the modem received "AT+CMGL=4"."""
    return [t for t, c in modem.commands() if c.upper() == CMGL]


def test_stored_messages_reach_inbox_and_log_then_leave_the_sim(app, modem, tmp_path):
    start(app, modem)
    watcher = ItemWatcher(app, tmp_path, {"Inbox": "unicode"})
    assert all(v == [] for v in watcher.inbox_values())

    # A reply with a TAB, a line break, a backslash and an emoji; an
    # alphanumeric sender in GSM 7-bit with its extension characters, from a
    # time zone west of Greenwich.
    reply = "收到\tOK\r\nC:\\temp 😀"
    a = modem.store_pdu(deliver("+8613912345678", reply, when=(2026, 12, 8, 12, 34, 56)))
    b = modem.store_pdu(deliver("ALERT-7", "[ok] {1}", coding="gsm",
                                when=(2026, 1, 2, 3, 4, 5), tz=-20), notify=True)
    assert (a, b) == (1, 2)
    lines = watcher.wait_inbox(2, INTERVAL + 10)
    expected = {("+8613912345678", "2026-12-08 12:34:56+08:00",
                 "收到\\tOK\\r\\nC:\\\\temp 😀"),
                ("ALERT-7", "2026-01-02 03:04:05-05:00", "[ok] {1}")}
    assert {(l.sender, l.time, l.text) for l in lines} == expected, lines
    # Newest first, one id after the other; nothing outside can break a field.
    assert [l.id for l in lines] == [lines[0].id, lines[0].id - 1], lines
    assert unescape(next(l.text for l in lines if l.sender != "ALERT-7")) == reply

    # Deleted from the SIM once published, each once.
    assert modem.wait_stored(0, 10) == [], modem.stored()
    assert sorted(e["index"] for e in modem.store_events("deleted")) == [1, 2]
    # The log holds the same lines, in the order they came.
    end = time.monotonic() + 5
    while len(inbox_log(app.prefix)) < 2 and time.monotonic() < end:
        time.sleep(0.05)
    assert inbox_log(app.prefix) == list(reversed(lines))

    # CF_TEXT: what the ANSI code page (936) lacks becomes "?".
    out = run_client(app.prefix, app.win_build, CONNECT, "request Inbox",
                     "request Inbox unicode")
    assert [r["word"] for r in out.of("request")] == ["ok", "ok"], out.text
    ansi = inbox_lines(item_text(out.of("request")[0]["hex"], unicode=False))
    assert inbox_lines(item_text(out.of("request")[1]["hex"], unicode=True)) == lines
    assert [l[:3] for l in ansi] == [l[:3] for l in lines]
    texts = {l.sender: l.text for l in ansi}
    assert texts["ALERT-7"] == "[ok] {1}"
    assert re.fullmatch(r"收到\\tOK\\r\\nC:\\\\temp \?{1,2}", texts["+8613912345678"]), texts

    # A later arrival goes on top; the others stay.
    modem.store_pdu(deliver("10086", "third"))
    lines3 = watcher.wait_inbox(3, INTERVAL + 10)
    assert lines3[0][1:] == ("10086", "2026-12-08 12:34:56+08:00", "third")
    assert lines3[0].id == lines[0].id + 1 and lines3[1:] == lines
    assert modem.wait_stored(0, 10) == []
    watcher.finish()


def test_message_arriving_during_a_send_waits_for_its_end(app, modem, tmp_path):
    start(app, modem)
    # A slow network: the "+CMGS" answer comes 1.5 s after the Ctrl-Z, and
    # the message lands on the SIM (with its +CMTI) while the modem waits
    # for the PDU.
    modem.set_cmgs(mr=7, prompt_delay=0.01, result_delay=1.5)
    modem.store_pdu_on_command(1, deliver("+8613912345678", "in between"),
                               match="AT+CMGS", notify=True)
    watcher = ItemWatcher(app, tmp_path, {"Inbox": "unicode", "Result": "text"})
    out = run_client(app.prefix, app.win_build, CONNECT, *submit("13800000001", "hello"))
    assert out.words("poke") == ["ack"] * 3, out.text

    results = watcher.wait_state(1, {"sent", "failed"}, 20)
    assert of_id(results, 1) == [("queued", ""), ("sent", "7")]
    lines = watcher.wait_inbox(1, INTERVAL + 10)
    assert [(l.sender, l.text) for l in lines] == [("+8613912345678", "in between")]
    assert modem.wait_stored(0, 10) == []

    # The listing came after the send's answer, never inside its dialogue.
    pdus = modem.pdus()
    assert [decode_pdu(p["pdu"])["Text"] for p in pdus] == ["hello"]
    stored_t = modem.store_events("stored")[0]["t"]
    cmgs_t = [t for t, c in modem.commands() if c.upper().startswith(b"AT+CMGS=")]
    answer_t = [t for t, data in modem.sent() if b"+CMGS: 7" in data]
    assert len(cmgs_t) == 1 and len(answer_t) == 1
    assert stored_t < pdus[0]["t"]
    assert all(not (cmgs_t[0] <= t <= answer_t[0]) for t in listings(modem)), (
        cmgs_t, answer_t, listings(modem))
    assert [t for t in listings(modem) if t > stored_t][0] > answer_t[0]
    watcher.finish()


def test_long_messages_joined_once_and_garbled_pdus_skipped(app, modem, tmp_path):
    start(app, modem)
    watcher = ItemWatcher(app, tmp_path, {"Inbox": "unicode"})
    parts = ["第一部分，", "第二部分，", "第三部分。"]
    three = [deliver("+8613912345678", t, concat=(0x5A, 3, n + 1)) for n, t in enumerate(parts)]
    two = [deliver("10086", t, concat=(0x1234, 2, n + 1), concat16=True)
           for n, t in enumerate(["前半", "后半"])]
    # The last part first, and seen by a listing on its own; then the others
    # out of order, with two garbled PDUs among them.
    modem.store_pdu(three[2])
    end = time.monotonic() + INTERVAL + 10
    while not any(e["indexes"] for e in modem.store_events("listed")):
        assert time.monotonic() < end, "no listing saw the first part"
        time.sleep(0.05)
    good = deliver("+8613912345678", "still here")
    for pdu in [garbled(good, 20), three[0], two[1], "00FF00", three[1], two[0], good]:
        modem.store_pdu(pdu)

    lines = watcher.wait_inbox(3, 2 * INTERVAL + 10)
    assert sorted((l.sender, l.text) for l in lines) == sorted([
        ("+8613912345678", "".join(parts)), ("10086", "前半后半"),
        ("+8613912345678", "still here")]), lines
    # Everything left the SIM, the garbled ones too.
    assert modem.wait_stored(0, INTERVAL + 10) == [], modem.stored()
    # Published once each: no value ever held a part on its own or a message twice.
    time.sleep(INTERVAL + 1)
    for value in watcher.inbox_values():
        assert len({l.id for l in value}) == len(value) <= 3, value
        assert {l.text for l in value} <= {l.text for l in lines}, value
    assert len(watcher.inbox_values()[-1]) == 3
    assert len(inbox_log(app.prefix)) == 3
    watcher.finish()


@pytest.mark.parametrize("settings", [{}, {"Receive": 0, "Report": 0}],
                         ids=["absent", "zero"])
def test_nothing_more_to_the_modem_with_receive_and_report_off(app, modem, settings):
    """Messages on the SIM, a +CMTI, a message sent: the modem gets the two
    start-up commands and the send, exactly as before, and keeps its SIM."""
    app.write_settings(**dict(DEFAULTS, Delay=300, **settings))
    held = deliver("+8613912345678", "stays")
    modem.store_pdu(held)
    app.start()
    app.wait_started()
    modem.store_pdu(held, notify=True)
    out = run_client(app.prefix, app.win_build, CONNECT, *submit("13800000001", "hello"))
    assert out.words("poke") == ["ack"] * 3, out.text
    pdus = modem.wait_pdus(1, 20)
    assert pdus is not None
    time.sleep(2 * INTERVAL + 1)
    cmds = [c for _, c in modem.commands()]
    assert cmds[:2] == [b"ATE0\r", CMNI], cmds
    assert len(cmds) == 5 and cmds[2] == b"at+cmgf=0\r", cmds
    assert cmds[3].startswith(b"at+cmgs=") and cmds[3].endswith(b"\r"), cmds
    assert cmds[4] == pdus[0]["pdu"].encode() + b"\x1a"
    # The PDU's first octet asks for no status report (11: no TP-SRR).
    octets = bytes.fromhex(pdus[0]["pdu"])
    assert octets[1 + octets[0]] == 0x11, pdus[0]["pdu"]
    assert len(modem.stored()) == 2
    assert modem.store_events("listed") == [] and modem.store_events("deleted") == []
    assert run_client(app.prefix, app.win_build, CONNECT, "request Inbox").first(
        "request")["word"] == "fail"
