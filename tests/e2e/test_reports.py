"""Delivery reports through the real Varnix.exe under Wine, with Report 1:
every part asks for a status report, reports are stored in the modem and
read by the listing, and Result tells a client `delivered` (a long message
only once every part was) or `undelivered`."""
import time

import pytest

from harness.dde import esc, run_client
from harness.fixtures_app import DEFAULTS
from harness.inbox import CONNECT, ItemWatcher, of_id
from harness.sms_pdu import status_report

pytestmark = pytest.mark.parametrize("app_build", ["x64"], indirect=True)

REPORTED = dict(DEFAULTS, Delay=300, Dialogue=1, Parts=3, Receive=5, Report=1)
QUICK = dict(prompt_delay=0.01, result_delay=0.02)
CNMI_REPORTS = b"AT+CNMI=0, 0, 0, 2, 0\r"
INTERVAL = 5


def submit(number, text):
    return [f"poke Num {esc(number)}", f"poke SMS {esc(text)}", "poke Send 1"]


def first_octets(modem):
    out = []
    for p in modem.pdus():
        octets = bytes.fromhex(p["pdu"])
        out.append(octets[1 + octets[0]])
    return out


def start(app, modem, tmp_path):
    app.write_settings(**REPORTED)
    modem.set_cmgf("ok")
    modem.set_cmgs(mr=7, **QUICK)
    app.start()
    app.wait_started()
    # The second start-up command stores reports in the modem.
    cmds = [c for _, c in modem.commands()]
    assert cmds[:2] == [b"ATE0\r", CNMI_REPORTS], cmds
    return ItemWatcher(app, tmp_path, {"Result": "text"})


def send(app, number, text):
    out = run_client(app.prefix, app.win_build, CONNECT, *submit(number, text))
    assert out.words("poke") == ["ack"] * 3, out.text


def test_delivered_after_every_part_reported(app, modem, tmp_path):
    # The network's reports: the single part's at once, a long message's
    # first part at once and its second one 10 s later.
    modem.set_reports(delay=0.2, script=[
        {"discharge": "2026-12-08 12:35:01"},
        {"discharge": "2026-12-08 12:36:00"},
        {"delay": 10.0, "discharge": "2026-12-08 12:41:02"}])
    watcher = start(app, modem, tmp_path)

    send(app, "13800000001", "one")
    results = watcher.wait_state(1, {"delivered", "undelivered", "failed"}, INTERVAL + 15)
    assert of_id(results, 1) == [("queued", ""), ("sent", "7"),
                                 ("delivered", "2026-12-08 12:35:01")]
    assert modem.wait_stored(0, 10) == [], modem.stored()

    send(app, "13800000002", "长" * 100)  # two UCS-2 parts
    results = watcher.wait_state(2, {"sent", "failed"}, 20)
    assert of_id(results, 2) == [("queued", ""), ("sent", "8 9")]
    # The first part's report is read and leaves the SIM; the message is
    # not delivered until the second one is.
    end = time.monotonic() + INTERVAL + 10
    while len(modem.store_events("deleted")) < 2:
        assert time.monotonic() < end, modem.store_events("deleted")
        time.sleep(0.05)
    time.sleep(1.0)
    assert of_id(watcher.results(), 2) == [("queued", ""), ("sent", "8 9")]
    assert len(modem.store_events("stored")) == 2  # the second not yet stored
    results = watcher.wait_state(2, {"delivered", "undelivered"}, 10 + INTERVAL + 10)
    assert of_id(results, 2) == [("queued", ""), ("sent", "8 9"),
                                 ("delivered", "2026-12-08 12:41:02")]
    assert modem.wait_stored(0, 10) == [], modem.stored()
    # Every part asked for its report: 31, and 71 with the concatenation header.
    assert first_octets(modem) == [0x31, 0x71, 0x71]
    # Delivery does not touch Status: still "1" from the sends.
    out = run_client(app.prefix, app.win_build, CONNECT, "request Status")
    assert out.first("request")["hex"] == b"1\r\n\0".hex()
    watcher.finish()


def test_failed_report_gives_undelivered(app, modem, tmp_path):
    modem.set_reports(off=True)  # the reports come by hand below
    watcher = start(app, modem, tmp_path)
    send(app, "13800000003", "three")
    results = watcher.wait_state(1, {"sent", "failed"}, 20)
    assert of_id(results, 1) == [("queued", ""), ("sent", "7")]
    assert first_octets(modem) == [0x31]

    # "Still trying" (TP-ST 20) changes nothing; then "no response from the
    # recipient" (TP-ST 46) ends it undelivered. A report of another message
    # (another reference) on the way changes nothing either.
    modem.store_pdu(status_report(99, "13800000003", 0x00))
    modem.store_pdu(status_report(7, "13800000003", 0x20))
    end = time.monotonic() + INTERVAL + 10
    while not any(e["indexes"] for e in modem.store_events("listed")):
        assert time.monotonic() < end, "no listing saw the report"
        time.sleep(0.05)
    time.sleep(1.0)
    assert of_id(watcher.results(), 1) == [("queued", ""), ("sent", "7")]
    # The network may name the recipient in its international form.
    modem.store_pdu(status_report(7, "+8613800000003", 0x46))
    results = watcher.wait_state(1, {"delivered", "undelivered"}, INTERVAL + 10)
    assert of_id(results, 1) == [("queued", ""), ("sent", "7"), ("undelivered", "TP-ST 46")]
    # Nothing changes after the final state, whatever reports still come.
    modem.store_pdu(status_report(7, "13800000003", 0x00))
    time.sleep(INTERVAL + 1)
    assert of_id(watcher.results(), 1)[-1] == ("undelivered", "TP-ST 46")
    watcher.finish()
