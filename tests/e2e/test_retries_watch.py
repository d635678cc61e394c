"""Retries and a watched modem through the real Varnix.exe under Wine, as a
DDE client and the modem see them: a failure that cannot have delivered
the message is tried again after 10 s while later messages go ahead, one
that may have delivered it is final at once; a watched modem publishes its
signal, registration and operator, and a modem unplugged in the middle of
a burst costs no message and sends none twice."""
import re
import time

import pytest

from harness.dde import esc, run_client, start_client
from harness.fixtures_app import DEFAULTS
from harness.modem import decode_pdu

# The x64 build only: the retry waits and the outage are the same portable
# worker on both builds, and each case costs tens of seconds of real time.
pytestmark = pytest.mark.parametrize("app_build", ["x64"], indirect=True)

CONNECT = "connect Varnix SMS0"
NUMBER = "13800138000"
DELAY = 200
CMGF = b"at+cmgf=0\r"
ESC = b"\x1b"
CMNI = b"AT+CNMI=0, 0, 0, 0, 0\r"
TOPIC_PANEL = "Topic: SMS0"
LOST_PANEL = "提示: 调制解调器已断开, 正在重连"
WATCH_LIMIT_MS = 200000  # the watcher's own bound, past any test's


def item_text(hex_text):
    """What an item served: its text without the CR LF and NUL."""
    raw = bytes.fromhex(hex_text)
    raw = raw[:raw.index(0)] if 0 in raw else raw
    return raw.decode("gbk", "replace").removesuffix("\r\n")


def send(app, *messages):
    """Queues (number, text) pairs with one Send execute; returns the ids,
    from the Id item of the conversation that queued them."""
    command = "".join(f'[Send("{n}","{t}")]' for n, t in messages)
    out = run_client(app.prefix, app.win_build, CONNECT, f"execute {esc(command)}",
                     "request Id")
    assert out.first("execute")["word"] == "ack", out.text
    last = int(item_text(out.first("request")["hex"]))
    return list(range(last - len(messages) + 1, last + 1))


class Watcher:
    """One DDE client holding advise links on the given items until finish();
    a single client, so that none of Wine's two-client advise races apply."""

    def __init__(self, app, workdir, *items):
        self.stop = workdir / "watcher-stop"
        stop = "Z:" + str(self.stop).replace("/", "\\")
        self.client = start_client(app.prefix, app.win_build, CONNECT,
                                   *[f"advise {i}" for i in items], "echo ADVISED",
                                   f"waitfile {stop} {WATCH_LIMIT_MS}")
        self.client.wait_for("ADVISED")
        out = self.client.started.output()
        assert out.count("advise ok") == len(items), out

    def seen(self, item):
        """[(text, wall-clock seconds)] of every advise of `item` so far."""
        out = []
        for line in self.client.started.output().replace("\r", "").splitlines():
            words = line.split()
            if words[:1] != ["advdata"]:
                continue
            rec = dict(w.split("=", 1) for w in words[1:] if "=" in w)
            if rec.get("item") == item:
                out.append((item_text(rec["hex"]), float(rec["t"]) / 1000))
        return out

    def texts(self, item):
        return [t for t, _ in self.seen(item)]

    def results(self, id_):
        """[(state, detail, wall-clock seconds)] of one message, in order."""
        out = []
        for text, t in self.seen("Result"):
            fields = text.split("\t")
            assert len(fields) == 3, text
            if fields[0] == str(id_):
                out.append((fields[1], fields[2], t))
        return out

    def states(self, id_):
        return [(s, d) for s, d, _ in self.results(id_)]

    def wait(self, what, check, timeout):
        """Until check() holds; fails after `timeout` s with what was seen."""
        end = time.monotonic() + timeout
        while not check():
            assert time.monotonic() < end, (
                f"{what} not seen within {timeout} s:\n{self.client.started.output()}")
            time.sleep(0.05)

    def wait_final(self, id_, timeout):
        self.wait(f"the outcome of {id_}", lambda: any(
            s in ("sent", "failed") for s, _ in self.states(id_)), timeout)

    def finish(self):
        self.stop.touch()
        self.client.finish(30)


def pdu_texts(records):
    return [decode_pdu(r["pdu"])["Text"] for r in records]


def wait_ui(app, key, value, timeout):
    """Until the UI driver reads `value` under `key` of the status bar."""
    end = time.monotonic() + timeout
    while True:
        got = app.ui("status")[key]
        if got == value:
            return
        assert time.monotonic() < end, f"{key} {got!r}, not {value!r}"
        time.sleep(0.2)


# -- retries ------------------------------------------------------------------

def test_retries_in_the_prompt_dialogue(app, modem, tmp_path):
    app.write_settings(**dict(DEFAULTS, Delay=DELAY), Dialogue=1, Retries=3)
    modem.set_cmgs(mr=10, results=["+CMS ERROR: 332"])
    app.start()
    app.wait_started()
    w = Watcher(app, tmp_path, "Result", "Status")

    # A temporary error: tried again 10 s later, while the message queued
    # right after it goes out in the wait.
    [first] = send(app, (NUMBER, "retried after 332"))
    [second] = send(app, (NUMBER, "goes ahead"))
    w.wait_final(first, 25)
    w.wait_final(second, 1)
    records = modem.pdus()
    assert [r["result"] for r in records] == ["error", "ok", "ok"], records
    assert pdu_texts(records) == ["retried after 332", "goes ahead", "retried after 332"]
    assert w.states(first) == [("queued", ""), ("retry", "10 +CMS ERROR: 332"),
                               ("sent", str(records[2]["mr"]))]
    assert w.states(second) == [("queued", ""), ("sent", str(records[1]["mr"]))]
    (_, _, t_retry), (_, _, t_sent) = w.results(first)[1:]
    t_ahead = w.results(second)[-1][2]
    assert t_retry < t_ahead < t_retry + 9, (t_retry, t_ahead)
    # The client's times carry the advise's latency; the modem's below do not.
    assert 9.5 <= t_sent - t_retry <= 14, (t_retry, t_sent)
    # The PDU again only after the wait.
    assert 9.8 <= records[2]["t"] - records[0]["t"] <= 14

    # A permanent error after the PDU: failed at once, one PDU.
    modem.set_cmgs(results=["+CMS ERROR: 500"])
    [third] = send(app, (NUMBER, "refused for good"))
    w.wait_final(third, 15)
    assert w.states(third) == [("queued", ""), ("failed", "+CMS ERROR: 500")]

    # No prompt: no byte of the PDU went out (ESC ends the modem's wait), so
    # it is tried again and sent, its PDU on the line once.
    modem.set_cmgs(prompts=["silence"])
    rx = len(modem.received_bytes())
    [fourth] = send(app, (NUMBER, "prompt withheld once"))
    w.wait(f"the retry of {fourth}", lambda: len(w.states(fourth)) >= 2, 15)
    assert modem.wait_for(ESC, 3) is not None
    first_try = modem.received_bytes()[rx:]
    assert re.fullmatch(rb"at\+cmgf=0\rat\+cmgs=\d+\r\x1b", first_try), first_try
    w.wait_final(fourth, 20)
    assert w.states(fourth)[:2] == [("queued", ""), ("retry", "10 no prompt")]
    records = modem.pdus()
    assert pdu_texts(records).count("prompt withheld once") == 1, records
    assert w.states(fourth)[2:] == [("sent", str(records[-1]["mr"]))]
    # Long past the 10 s a retry of the "500" would have waited.
    assert pdu_texts(records).count("refused for good") == 1
    assert w.states(third)[1:] == [("failed", "+CMS ERROR: 500")]

    # Status: once per message, for its final outcome only, in order.
    time.sleep(0.5)
    assert w.texts("Status") == ["1", "1", "0", "1"]
    out = run_client(app.prefix, app.win_build, CONNECT, "request Queue")
    assert item_text(out.first("request")["hex"]) == "0"
    w.finish()


def test_retries_in_the_classic_dialogue(app, modem, tmp_path):
    app.write_settings(**dict(DEFAULTS, Delay=DELAY), Retries=1)
    modem.set_cmgs(mr=30, results=["+CME ERROR: 14", "ERROR"])
    app.start()
    app.wait_started()
    w = Watcher(app, tmp_path, "Result", "Status")

    [first] = send(app, (NUMBER, "classic retried"))
    w.wait(f"the retry of {first}", lambda: len(w.states(first)) >= 2, 15)
    # A plain ERROR after the PDU may follow a message that went out: final.
    [second] = send(app, (NUMBER, "classic refused"))
    w.wait_final(second, 15)
    w.wait_final(first, 20)
    records = modem.pdus()
    assert pdu_texts(records) == ["classic retried", "classic refused", "classic retried"]
    assert [r["result"] for r in records] == ["error", "error", "ok"], records
    assert w.states(first) == [("queued", ""), ("retry", "10 +CME ERROR: 14"),
                               ("sent", str(records[2]["mr"]))]
    assert w.states(second) == [("queued", ""), ("failed", "ERROR")]
    t_retry, t_sent = w.results(first)[1][2], w.results(first)[2][2]
    assert w.results(second)[-1][2] < t_sent
    assert 9.5 <= t_sent - t_retry <= 16, (t_retry, t_sent)
    assert 9.8 <= records[2]["t"] - records[0]["t"] <= 16
    time.sleep(0.5)
    assert w.texts("Status") == ["0", "1"]
    w.finish()


# -- a watched modem ------------------------------------------------------------

BURST = [f"burst {n:02d}" for n in range(1, 21)]
OUTAGE_S = 20
UNPLUG_AT = 4  # unplugged while the 4th message waits for its prompt
PROMPT_DELAY = 0.5


def test_watched_modem_unplugged_during_a_burst(app, modem, tmp_path):
    app.write_settings(**dict(DEFAULTS, Delay=DELAY), Dialogue=1, Watch=10)
    modem.set_signal(23)
    modem.set_network(1)
    modem.set_operator("CHINA MOBILE")
    # A slow prompt, so that the unplug below lands while the gateway waits
    # for it: no byte of that message's PDU is out.
    modem.set_cmgs(mr=100, prompt_delay=PROMPT_DELAY, result_delay=0.05)
    app.start()
    app.wait_started()
    started = time.time()
    w = Watcher(app, tmp_path, "Signal", "Network", "Operator", "Wakeup", "Result",
                "Status")

    # The first check, Watch s after the worker began.
    w.wait("the modem's state", lambda: all(w.texts(i) for i in ("Signal", "Network",
                                                                   "Operator")), 20)
    assert (w.texts("Signal"), w.texts("Network"), w.texts("Operator")) == (
        ["23"], ["registered"], ["CHINA MOBILE"])
    assert 7 <= w.seen("Signal")[0][1] - started <= 16
    queries = [c for _, c in modem.commands() if c.startswith(b"AT+C") and c != CMNI]
    assert queries[:3] == [b"AT+CSQ\r", b"AT+CREG?\r", b"AT+COPS?\r"], queries
    wait_ui(app, "panel1", "信号 23", 5)
    assert app.ui("status")["panel0"] == TOPIC_PANEL

    rx = len(modem.commands())
    ids = send(app, *[(NUMBER, t) for t in BURST])

    def cmgs_count():
        return sum(1 for _, c in modem.commands()[rx:] if c.startswith(b"at+cmgs="))
    end = time.monotonic() + 30
    while cmgs_count() < UNPLUG_AT:
        assert time.monotonic() < end, modem.commands()[rx:]
        time.sleep(0.01)
    modem.unplug(OUTAGE_S)
    t_unplug = time.time()
    before = len(modem.pdus())
    assert before == UNPLUG_AT - 1, "the unplug came after the PDU went out"

    w.wait("Wakeup 0", lambda: w.texts("Wakeup")[:1] == ["0"], 15)
    wait_ui(app, "panel0", LOST_PANEL, 8)
    assert not modem.plug_state()["plugged"]
    w.wait("Wakeup 1", lambda: w.texts("Wakeup") == ["0", "1"], OUTAGE_S + 15)
    assert w.seen("Wakeup")[1][1] - t_unplug >= OUTAGE_S - 0.2
    wait_ui(app, "panel0", TOPIC_PANEL, 5)
    for id_ in ids:
        w.wait_final(id_, 30)

    # The modem initialised again on its new pty, Delay after each command,
    # before the first message after its return.
    back = modem.pty_events()[-1]
    assert back["event"] == "pty"
    after = [(t, c) for t, c in modem.commands() if t >= back["t"]]
    assert [c for _, c in after[:3]] == [b"ATE0\r", CMNI, CMGF], after[:3]
    assert after[1][0] - after[0][0] >= DELAY / 1000 - 0.05
    assert after[2][0] - after[1][0] >= DELAY / 1000 - 0.05

    # Every message of the burst on the line once, in order, each sent with
    # the reference the modem gave it; the interrupted one at no retry.
    records = modem.pdus()
    assert pdu_texts(records) == BURST, pdu_texts(records)
    assert all(r["result"] == "ok" for r in records), records
    for id_, record in zip(ids, records):
        assert w.states(id_) == [("queued", ""), ("sent", str(record["mr"]))], id_
    time.sleep(0.5)
    assert w.texts("Status") == ["1"] * len(BURST)
    assert w.texts("Wakeup") == ["0", "1"]
    w.finish()
