"""The clients of docs/clients.md against the real Varnix.exe under Wine:
varnix-send with its id, states and exit codes, the guide's C examples as
built, and the Excel and VBA flows in the raw DDE messages those programs
send. The guides quote the examples' files verbatim."""
import pathlib
import re
import time

import pytest

from harness.dde import esc, run_client, send_exe, served, start_client
from harness.fixtures_app import DEFAULTS
from harness.modem import decode_pdu

# The x64 build only: the clients talk to the same server code on both
# builds, and the x86 varnix-send is run by the package's tests.
pytestmark = pytest.mark.parametrize("app_build", ["x64"], indirect=True)

ROOT = pathlib.Path(__file__).resolve().parents[2]
DOCS = ROOT / "docs"
NUMBER = "13800138000"
# Prompt-driven dialogue against a modem that answers at once: a message
# takes milliseconds, so the states follow one another quickly.
PROMPTED = dict(DEFAULTS, Delay=300, Dialogue=1)
QUICK = dict(prompt_delay=0.01, result_delay=0.02)
# A quote, a line break and Chinese; then characters code page 936 lacks.
QUOTED = 'He said "hi"\n第二行'
INTACT = 'He said "hi"\n第二行 한ก✓'


def lines(out):
    return [l for l in out.replace("\r", "").splitlines() if l.strip()]


def example(app, name):
    return app.win_build / "bin" / f"{name}.exe"


def pdu_text(record):
    sms = decode_pdu(record["pdu"])
    return sms["Number"], sms["Text"]


def start_gateway(app, modem):
    app.write_settings(**PROMPTED)
    modem.set_cmgf("ok")
    modem.set_cmgs(mr=7, **QUICK)
    app.start()
    app.wait_started()


def request_result(app):
    out = run_client(app.prefix, app.win_build, "connect Varnix SMS0", "request Result")
    data = bytes.fromhex(out.first("request")["hex"])
    return data.rstrip(b"\0").rstrip(b"\r\n").decode("gbk")


def wait_result(app, wanted, timeout):
    """Polls Result until it reads `wanted`."""
    end = time.monotonic() + timeout
    while True:
        got = request_result(app)
        if got == wanted:
            return
        assert time.monotonic() < end, f"Result is {got!r}, not {wanted!r}"
        time.sleep(0.2)


def test_guides_quote_every_example_file_verbatim(app_build):
    files = sorted(p.name for p in (DOCS / "examples").glob("*.c"))
    assert files == ["send_execute.c", "send_pokes.c", "watch_results.c"]
    block = re.compile(r"<!-- example: examples/([\w.]+) -->\n```c\n(.*?)```\n"
                       r"<!-- end example -->", re.S)
    for guide in ("clients.md", "clients.zh_CN.md"):
        quoted = block.findall((DOCS / guide).read_text())
        assert sorted(name for name, _ in quoted) == files, guide
        for name, text in quoted:
            assert text == (DOCS / "examples" / name).read_text(), (guide, name)


def test_varnix_send_prints_the_id_and_every_state_with_its_exit_code(app, modem):
    send = send_exe(app.win_build)
    # No gateway yet.
    code, out = app.prefix.run(send, "--timeout", "5", NUMBER, "x")
    assert code == 2 and "cannot reach" in out, out

    start_gateway(app, modem)

    # Sent: the quote and the line break kept, through the execute command.
    code, out = app.prefix.run(send, NUMBER, QUOTED)
    records = modem.wait_pdus(1, 10)
    assert records is not None
    assert (code, lines(out)) == (0, ["id 1", "queued", f"sent {records[0]['mr']}"]), out
    assert pdu_text(records[0]) == (NUMBER, QUOTED)

    # The modem refuses it: its error line, exit 1.
    modem.set_cmgs(result="error", **QUICK)
    code, out = app.prefix.run(send, NUMBER, "refused by the modem")
    assert (code, lines(out)) == (1, ["id 2", "queued", "failed +CMS ERROR: 500"]), out

    # A number with a letter: the execute is refused, nothing is queued.
    modem.set_cmgs(mr=20, **QUICK)
    before = len(modem.received_bytes())
    code, out = app.prefix.run(send, "1380013800a", "x")
    assert code == 2 and "refused" in out and "id " not in out, out
    assert len(modem.received_bytes()) == before

    # --no-wait returns once the message is queued, long before the modem
    # answers (6 s after the PDU); the id shows nothing was queued between.
    modem.set_cmgs(mr=30, prompt_delay=0.01, result_delay=6)
    started = time.monotonic()
    code, out = app.prefix.run(send, "--no-wait", NUMBER, "later")
    returned = time.monotonic()
    assert (code, lines(out)) == (0, ["id 3", "queued"]), out
    assert returned - started < 5, returned - started
    records = modem.wait_pdus(3, 10)
    assert records is not None and pdu_text(records[-1]) == (NUMBER, "later")
    assert returned < records[-1]["t"] + 6
    wait_result(app, "3\tsent\t30", 15)

    # No outcome within --timeout: the id and "queued", then exit 3 (still
    # under way), which a batch file must not take for "no gateway".
    modem.set_cmgs(prompt="silence")
    started = time.monotonic()
    code, out = app.prefix.run(send, "--timeout", "2", NUMBER, "never")
    elapsed = time.monotonic() - started
    assert code == 3 and lines(out)[:2] == ["id 4", "queued"], out
    assert "no outcome" in out and 2 <= elapsed < 10, (elapsed, out)


def test_guide_examples_and_the_excel_and_vba_flows(app, modem, tmp_path):
    # Without a gateway every example says so with 2.
    for name, args in (("send_pokes", [NUMBER, "x"]), ("send_execute", [NUMBER, "x"]),
                       ("watch_results", ["1", "1"])):
        code, out = app.prefix.run(example(app, name), *args)
        assert code == 2, (name, out)

    start_gateway(app, modem)

    # Excel: hot links on Status, Result and Queue, in raw DDE messages.
    stop = tmp_path / "excel-stop"
    excel = start_client(app.prefix, app.win_build, "raw-initiate Varnix SMS0 2000",
                         "raw-advise Status", "raw-advise Result", "raw-advise Queue",
                         "echo ADVISED", f"waitfile {stop} 60000", "raw-terminate")
    excel.wait_for("ADVISED")
    watch = app.prefix.start(example(app, "watch_results"), "4", "60")
    assert watch.wait_for_output("watching", 30), watch.output()

    # The three pokes, then the id; the execute with the states to the end.
    code, out = app.prefix.run(example(app, "send_pokes"), NUMBER, "pokes 你好")
    assert (code, lines(out)) == (0, ["id 1"]), out
    code, out = app.prefix.run(example(app, "send_execute"), NUMBER, 'a "quote"\nand a line')
    records = modem.wait_pdus(2, 10)
    assert records is not None
    assert (code, lines(out)) == (0, ["id 2", "queued", f"sent {records[1]['mr']}"]), out
    assert [pdu_text(r) for r in records] == [
        (NUMBER, "pokes 你好"), (NUMBER, 'a "quote"\nand a line')]

    # The monitor saw both messages from start to end, and the queue.
    assert watch.wait(30) == 0, watch.output()
    seen = lines(watch.output())
    results = [l.rstrip() for l in seen if l.startswith("Result ")]
    mrs = [r["mr"] for r in records]
    for message_id, mr in ((1, mrs[0]), (2, mrs[1])):
        assert [r for r in results if r.split()[1] == str(message_id)] == [
            f"Result {message_id} queued", f"Result {message_id} sent {mr}"], seen
    assert "Queue 1" in seen and "Queue 0" in seen, seen

    # The modem refuses: 1; a malformed number: refused, 2.
    modem.set_cmgs(result="error", **QUICK)
    code, out = app.prefix.run(example(app, "send_execute"), NUMBER, "no")
    assert (code, lines(out)) == (1, ["id 3", "queued", "failed +CMS ERROR: 500"]), out
    modem.set_cmgs(mr=40, **QUICK)
    code, out = app.prefix.run(example(app, "send_execute"), "+86 138", "no")
    assert code == 2 and "refused" in out, out

    # VBA: DDEInitiate, DDEExecute, DDERequest of Id, DDETerminate; a refused
    # command is a negative acknowledgement (DDEExecute raises).
    command = '[Send("13900139000","VBA 发来的 ""短信""")]'
    out = run_client(app.prefix, app.win_build, "raw-initiate Varnix SMS0 2000",
                     f"raw-execute {esc(command)}", "raw-request Id",
                     "raw-execute " + esc('[Send("139x","a")]'), "raw-request Id",
                     "raw-terminate")
    assert out.words("raw-execute") == ["ack", "nak"], out.text
    assert [r.get("hex") for r in out.of("raw-request")] == [served("4")] * 2, out.text
    records = modem.wait_pdus(4, 10)
    assert records is not None
    assert pdu_text(records[3]) == ("13900139000", 'VBA 发来的 "短信"')
    wait_result(app, f"4\tsent\t{records[3]['mr']}", 10)

    stop.write_text("")
    out = excel.finish()
    data = [(r["item"], bytes.fromhex(r["hex"])) for r in out.of("raw-data")]
    status = [d for item, d in data if item == "Status"]
    # Messages one after the other: the outcomes in that order.
    assert status == [bytes.fromhex(served(v)) for v in ("1", "1", "0", "1")], data
    result = [d.decode("gbk") for item, d in data if item == "Result"]
    assert all(r.endswith("\r\n\0") for r in result), result
    by_id = {}
    for r in result:
        message_id, state, detail = r[:-3].split("\t")
        by_id.setdefault(int(message_id), []).append((state, detail))
    assert by_id == {
        1: [("queued", ""), ("sent", str(mrs[0]))],
        2: [("queued", ""), ("sent", str(mrs[1]))],
        3: [("queued", ""), ("failed", "+CMS ERROR: 500")],
        4: [("queued", ""), ("sent", str(records[3]["mr"]))]}, result
    assert out.first("raw-terminate")["word"] == "ok", out.text


def test_a_unicode_client_loses_no_character(app, modem):
    """varnix-send and the Unicode example with characters that code page
    936 lacks: they reach the modem as given."""
    start_gateway(app, modem)
    code, out = app.prefix.run(send_exe(app.win_build), NUMBER, INTACT)
    assert code == 0, out
    code, out = app.prefix.run(example(app, "send_execute"), NUMBER, INTACT)
    assert code == 0, out
    records = modem.wait_pdus(2, 10)
    assert records is not None
    assert [pdu_text(r) for r in records] == [(NUMBER, INTACT)] * 2
