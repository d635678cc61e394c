"""The items beside the eight in CF_UNICODETEXT, and what Receive and Report
change at start-up, through the real Varnix.exe under Wine: Result, Queue
and Id answer requests and advise links in UTF-16 as well as in CF_TEXT,
the eight still refuse CF_UNICODETEXT, Inbox exists only with Receive, and
Report 1 turns the second start-up command into one that keeps status
reports in the modem."""
import pytest

from harness.dde import run_client, start_client
from harness.fixtures_app import DEFAULTS

pytestmark = pytest.mark.parametrize("app_build", ["x64"], indirect=True)

CONNECT = "connect Varnix SMS0"
PROMPTED = dict(DEFAULTS, Delay=300, Dialogue=1)
QUICK = dict(prompt_delay=0.01, result_delay=0.02)
ECHO_OFF = b"ATE0\r"
CNMI_TODAY = b"AT+CNMI=0, 0, 0, 0, 0\r"
CNMI_REPORTS = b"AT+CNMI=0, 0, 0, 2, 0\r"


def unicode_value(hex_value):
    """A CF_UNICODETEXT value as text, without its CR LF and NUL unit."""
    data = bytes.fromhex(hex_value)
    assert len(data) % 2 == 0 and data.endswith(b"\0\0"), data
    text = data[:-2].decode("utf-16-le")
    assert text == "" or text.endswith("\r\n"), repr(text)
    return text[:-2] if text else text


def test_new_items_serve_utf16_and_the_eight_stay_cf_text(app, modem, tmp_path):
    app.write_settings(**PROMPTED)
    modem.set_cmgf("ok")
    modem.set_cmgs(mr=9, **QUICK)
    app.start()
    app.wait_started()

    stop = tmp_path / "watcher-stop"
    watcher = start_client(app.prefix, app.win_build, CONNECT, "advise Result hot unicode",
                           "advise Queue unicode", "advise Status unicode", "echo ADVISED",
                           "waitadv 4 20000", f"waitfile {stop} 30000")
    watcher.wait_for("ADVISED")

    out = run_client(app.prefix, app.win_build, CONNECT,
                     'execute [Send("13800000001","\u4f60\u597d")] unicode',
                     "request Id unicode", "request Id")
    assert out.first("execute")["word"] == "ack", out.text
    ids = out.of("request")
    assert [r["word"] for r in ids] == ["ok", "ok"], out.text
    assert unicode_value(ids[0]["hex"]) == "1" and ids[0]["text"] == "1\r\n", out.text
    assert bytes.fromhex(ids[1]["hex"]) == b"1\r\n\0", out.text

    # Queued, then sent: both reach the UTF-16 link, and Queue goes 1, 0.
    watcher.wait_count("advdata item=Result", 2, 20)
    watcher.wait_count("advdata item=Queue", 2, 20)
    stop.write_text("")
    seen = watcher.finish()
    assert seen.words("advise") == ["ok", "ok", "fail"], seen.text
    results = [r for r in seen.of("advdata") if r["item"] == "Result"]
    assert all(r["format"] == "13" for r in seen.of("advdata")), seen.text
    assert [unicode_value(r["hex"]) for r in results] == ["1\tqueued\t", "1\tsent\t9"], seen.text
    # ddeclient's text= is the same value, its TABs kept.
    assert [r["text"] for r in results] == ["1\tqueued\t\r\n", "1\tsent\t9\r\n"], seen.text
    queue = [unicode_value(r["hex"]) for r in seen.of("advdata") if r["item"] == "Queue"]
    assert queue[-1] == "0", seen.text

    # Requests: the new items in both formats, the eight in CF_TEXT only,
    # and no Inbox without Receive.
    out = run_client(app.prefix, app.win_build, CONNECT, "request Result unicode",
                     "request Result", "request Queue unicode", "request Status unicode",
                     "request Wakeup unicode", "request Status", "request Inbox",
                     "request Inbox unicode")
    req = out.of("request")
    assert [r["word"] for r in req] == ["ok", "ok", "ok", "fail", "fail", "ok", "fail",
                                        "fail"], out.text
    assert unicode_value(req[0]["hex"]) == "1\tsent\t9", out.text
    assert bytes.fromhex(req[1]["hex"]) == b"1\tsent\t9\r\n\0", out.text
    assert unicode_value(req[2]["hex"]) == "0", out.text
    assert bytes.fromhex(req[5]["hex"]) == b"1\r\n\0", out.text

    # Receive and Report absent: the start-up commands of today.
    assert [c for _, c in modem.commands()][:2] == [ECHO_OFF, CNMI_TODAY]


def test_report_keeps_reports_in_the_modem_and_receive_makes_inbox(app, modem):
    app.write_settings(**dict(PROMPTED, Receive=5, Report=1))
    modem.set_cmgf("ok")
    app.start()
    app.wait_started()
    assert modem.wait_for(CNMI_REPORTS, 30) is not None, modem.commands()
    assert [c for _, c in modem.commands()][:2] == [ECHO_OFF, CNMI_REPORTS]

    # Inbox stands beside the others, empty, in both formats; a poke into it
    # is refused.
    out = run_client(app.prefix, app.win_build, CONNECT, "request Inbox unicode",
                     "request Inbox", "poke Inbox x", "advise Inbox hot unicode")
    req = out.of("request")
    assert [r["word"] for r in req] == ["ok", "ok"], out.text
    assert bytes.fromhex(req[0]["hex"]) == b"\0\0", out.text
    assert bytes.fromhex(req[1]["hex"]) == b"\0", out.text
    assert out.first("poke")["word"] == "nak", out.text
    assert out.first("advise")["word"] == "ok", out.text
