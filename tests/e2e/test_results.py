"""Message ids, results and the Send execute command through the real
Varnix.exe under Wine: the items Id, Result and Queue as clients see them,
every state a message passes through with what the modem answered, the
execute command from ANSI, Unicode and raw DDE clients, twenty clients
sending at once, and the messages still waiting when the program closes."""
import time

import pytest

from harness.dde import ClientOutput, esc, run_client, served, start_client
from harness.fixtures_app import DEFAULTS
from harness.modem import decode_pdu

# The x64 build only: ids and results are the same portable core on both
# builds, and the load case alone sends a thousand messages.
pytestmark = pytest.mark.parametrize("app_build", ["x64"], indirect=True)

CONNECT = "connect Varnix SMS0"
# The prompt-driven dialogue reacts to the modem's answers as they come, so
# a modem answering at once gets one message after the other without pauses.
PROMPTED = dict(DEFAULTS, Delay=300, Dialogue=1, Parts=3)
QUICK = dict(prompt_delay=0.01, result_delay=0.02)
EMPTY = "00"  # an item with nothing in it: just the NUL
LONG = "长" * 150  # three UCS-2 parts: 67 + 67 + 16


def submit(number, text):
    return [f"poke Num {esc(number)}", f"poke SMS {esc(text)}", "poke Send 1"]


def send_command(number, text):
    """One Send command of an execute string, quotes doubled."""
    def quoted(s):
        return '"' + s.replace('"', '""') + '"'
    return f"[Send({quoted(number)},{quoted(text)})]"


def execute(command, unicode=False):
    return f"execute {esc(command)}" + (" unicode" if unicode else "")


def item_text(hex_value):
    """What an item served or advised, as text without its CR LF and NUL."""
    data = bytes.fromhex(hex_value)
    assert data.endswith(b"\0"), data
    data = data[:-1]
    if data:
        assert data.endswith(b"\r\n"), data
        data = data[:-2]
    return data.decode("gbk")


def ids_read(out):
    """Every `request Id` answer of a client's output, as text ("" when
    empty)."""
    return [item_text(r["hex"]) for r in out.of("request") if r.get("item") == "Id"]


def pdu_messages(records):
    """(number, text) of every PDU the modem recorded, decoded by gammu."""
    out = []
    for r in records:
        sms = decode_pdu(r["pdu"])
        out.append((sms["Number"], sms["Text"]))
    return out


class Watcher:
    """One client holding advise links on Result, Queue and Status, kept
    open until `finish` (or until the server goes)."""

    def __init__(self, app, tmp_path, items=("Result", "Queue", "Status")):
        self.stop = tmp_path / "watcher-stop"
        self.client = start_client(app.prefix, app.win_build, CONNECT,
                                   *[f"advise {i}" for i in items], "echo ADVISED",
                                   f"waitfile {self.stop} 400000")
        self.client.wait_for("ADVISED")
        out = self._output()
        assert out.words("advise") == ["ok"] * len(items), out.text

    def _output(self):
        return ClientOutput(self.client.started.output().replace("\r", ""))

    def values(self, item):
        return [item_text(r["hex"]) for r in self._output().of("advdata")
                if r["item"] == item]

    def results(self):
        """Every Result line so far as (id, state, detail)."""
        out = []
        for line in self.values("Result"):
            fields = line.split("\t")
            assert len(fields) == 3 and fields[0].isdigit(), repr(line)
            out.append((int(fields[0]), fields[1], fields[2]))
        return out

    def wait_results(self, count, timeout):
        end = time.monotonic() + timeout
        while len(self.results()) < count:
            assert time.monotonic() < end, (
                f"{count} Result lines not seen within {timeout} s:\n"
                f"{self.client.started.output()[-3000:]}")
            time.sleep(0.05)
        return self.results()

    def wait_final(self, ids, timeout):
        """The Result lines once every id in `ids` has a final state."""
        ids = set(ids)
        end = time.monotonic() + timeout
        while True:
            results = self.results()
            done = {i for i, state, _ in results if state in ("sent", "failed")}
            if ids <= done:
                return results
            assert time.monotonic() < end, (
                f"no final state for {sorted(ids - done)} within {timeout} s: {results[-10:]}")
            time.sleep(0.05)

    def wait_values(self, item, count, timeout):
        end = time.monotonic() + timeout
        while len(self.values(item)) < count:
            assert time.monotonic() < end, (
                f"{count} x {item} not seen within {timeout} s: {self.values(item)}")
            time.sleep(0.05)
        return self.values(item)

    def finish(self):
        self.stop.write_text("")
        return self.client.finish()


def of_id(results, message_id):
    return [(state, detail) for i, state, detail in results if i == message_id]


def test_items_states_and_the_execute_command(app, modem, tmp_path):
    """One gateway through every state a client can see, then the execute
    command in all its forms, then a close with messages still waiting."""
    app.write_settings(**PROMPTED)
    modem.set_cmgf("ok")
    modem.set_cmgs(mr=7, **QUICK)
    app.start()
    app.wait_started()

    # The three items exist beside the eight; nothing in Id or Result yet.
    out = run_client(app.prefix, app.win_build, CONNECT, "request Id", "request Result",
                     "request Queue", "request Status")
    assert [r["word"] for r in out.of("request")] == ["ok"] * 4, out.text
    assert [r["hex"] for r in out.of("request")][:3] == [EMPTY, EMPTY, served("0")], out.text

    watcher = Watcher(app, tmp_path)

    # Two conversations at once, each with its own Id. The second, a raw DDE
    # one, holds an advise link on Id: it is told of its own message only.
    # (Wine's DDEML client takes advise data that arrives while its poke
    # waits for the answer as that answer, whatever the item: a DDEML
    # conversation cannot watch Id and send at the same time under Wine.)
    go, go2 = tmp_path / "first-goes-on", tmp_path / "second-goes-on"
    first = start_client(app.prefix, app.win_build, CONNECT, *submit("13800000001", "first"),
                         "request Id", "echo FIRST", f"waitfile {go} 30000",
                         "request Id", "poke SMS hex:", "poke Send 1", "request Id")
    first.wait_for("FIRST")
    second = start_client(app.prefix, app.win_build, "raw-initiate Varnix SMS0",
                          "raw-advise Id", "raw-request Id", "raw-poke Num 13800000002",
                          "raw-poke SMS second", "raw-poke Send 1", "raw-request Id",
                          "echo SECOND", f"waitfile {go2} 30000", "sleep 300",
                          "raw-request Id", "raw-terminate")
    second.wait_for("SECOND")
    go.write_text("")
    out = first.finish()
    # Still its own after the other's message; empty after a Send "1" that
    # queued nothing (an empty text).
    assert ids_read(out) == ["1", "1", ""], out.text
    go2.write_text("")
    out = second.finish()
    assert out.words("raw-poke") == ["ack"] * 3, out.text
    assert [item_text(r["hex"]) for r in out.of("raw-request")] == ["", "2", "2"], out.text
    # Told its own id, the moment it was queued (before the Send poke was
    # answered), and never another conversation's.
    told = out.of("raw-data")
    assert told and {(r["item"], item_text(r["hex"])) for r in told} == {("Id", "2")}, out.text
    assert out.records.index(told[0]) < out.records.index(out.of("raw-poke")[-1]), out.text

    results = watcher.wait_final({1, 2}, 20)
    records = modem.wait_pdus(2, 5)
    assert records is not None
    by_message = dict(zip(pdu_messages(records), (r["mr"] for r in records)))
    assert set(by_message) == {("13800000001", "first"), ("13800000002", "second")}
    # Each sent with the reference the modem gave it.
    assert of_id(results, 1) == [("queued", ""), ("sent", str(by_message[("13800000001", "first")]))]
    assert of_id(results, 2) == [("queued", ""), ("sent", str(by_message[("13800000002", "second")]))]
    assert sorted(r["mr"] for r in records) == [7, 8]

    # The modem's error line, as it came.
    modem.set_cmgs(result="error", **QUICK)
    out = run_client(app.prefix, app.win_build, CONNECT, *submit("13800000003", "third"),
                     "request Id")
    assert ids_read(out) == ["3"], out.text
    results = watcher.wait_final({3}, 20)
    assert of_id(results, 3) == [("queued", ""), ("failed", "+CMS ERROR: 500")]

    # No prompt: given up after its wait.
    modem.set_cmgs(prompt="silence", **QUICK)
    run_client(app.prefix, app.win_build, CONNECT, *submit("13800000004", "fourth"))
    results = watcher.wait_final({4}, 20)
    assert of_id(results, 4) == [("queued", ""), ("failed", "no prompt")]

    # A number with a letter: refused, not a byte to the modem.
    modem.set_cmgs(**QUICK)
    seen = len(modem.received_bytes())
    out = run_client(app.prefix, app.win_build, CONNECT, *submit("12a", "fifth"), "request Id")
    assert out.words("poke") == ["ack"] * 3, out.text
    assert ids_read(out) == ["5"], out.text
    results = watcher.wait_final({5}, 20)
    assert of_id(results, 5) == [("queued", ""), ("failed", "refused number")]
    time.sleep(0.5)
    assert len(modem.received_bytes()) == seen

    # Three at once on a slow modem: Queue climbs to 3 and falls back to 0,
    # each queued before the first is done.
    modem.set_cmgs(prompt_delay=0.01, result_delay=0.6)
    queue_before = len(watcher.values("Queue"))
    results_before = len(watcher.results())
    run_client(app.prefix, app.win_build, CONNECT, *submit("13800000006", "a"),
               *submit("13800000007", "b"), *submit("13800000008", "c"))
    results = watcher.wait_final({6, 7, 8}, 20)
    burst = results[results_before:]
    assert burst[:3] == [(6, "queued", ""), (7, "queued", ""), (8, "queued", "")], burst
    assert [(i, s) for i, s, _ in burst[3:]] == [(6, "sent"), (7, "sent"), (8, "sent")], burst
    end = time.monotonic() + 5
    while watcher.values("Queue")[-1:] != ["0"] and time.monotonic() < end:
        time.sleep(0.05)
    assert watcher.values("Queue")[queue_before:] == ["1", "2", "3", "2", "1", "0"]

    # Queue over the whole run: one step at a time, never below 0, back to 0.
    queue = [int(v) for v in watcher.values("Queue")]
    assert all(abs(b - a) == 1 for a, b in zip([0] + queue, queue)), queue
    assert min(queue) >= 0 and queue[-1] == 0, queue
    # Status as before: one per finished message, in order.
    assert watcher.wait_values("Status", 8, 5) == ["1", "1", "0", "0", "0", "1", "1", "1"]

    # -- the execute command --
    modem.set_cmgs(**QUICK)
    pdus = len(modem.pdus())
    malformed = ['[Send("13800000010","unclosed)]',
                 '[Send("13800000010")]',
                 '[Send("1380000001a","x")]',
                 '[Send("13800000010","")]',
                 '[Send("13800000010","a")][Open()]',
                 '[Send("13800000010","a")]x']
    other = ["[Open()]", "hello", "", '[Sendx("13800000010","a")]']
    out = run_client(app.prefix, app.win_build, CONNECT,
                     execute(send_command("13800000009", "by execute")), "request Id",
                     *[c for m in malformed for c in (execute(m), "request Id")],
                     *[c for o in other for c in (execute(o), "request Id")])
    assert out.words("execute") == ["ack"] + ["nak"] * len(malformed) + ["ack"] * len(other), \
        out.text
    assert [r["result"] for r in out.of("execute")][1:1 + len(malformed)] == ["0x0"] * len(malformed)
    # The refused and the ignored ones leave Id as it was.
    assert ids_read(out) == ["9"] * (1 + len(malformed) + len(other)), out.text
    results = watcher.wait_final({9}, 20)
    assert of_id(results, 9)[-1][0] == "sent"

    # The next one is 10: none of those took an id. Several commands in one
    # execute are queued in order, Id the last one's.
    texts = {
        # Unicode below U+0100 that code page 936 lacks (the characters
        # beyond are test_a_unicode_execute_keeps_what_no_ansi_code_page_has).
        "unicode": "Grüße, café ± ½ × ÿ",
        "ansi": "中文短信，测试",
        "lines": "line one\nline two\nthree",
        "quotes": 'say "hi" [now], (ok)',
        "second": "the second of one execute",
    }
    out = run_client(app.prefix, app.win_build, CONNECT,
                     execute(send_command("+8613800000010", texts["unicode"]), unicode=True),
                     "request Id",
                     execute(send_command("13800000011", texts["ansi"])), "request Id",
                     execute(send_command("13800000012", "line one\r\nline two\rthree"),
                             unicode=True),
                     # Blanks around the brackets, parentheses and comma, the
                     # name in any case, a line break between two commands.
                     execute(' \t[ send ( "13800000013" , "say ""hi"" [now], (ok)" ) ] \r\n'
                             '[SEND("13800000014","the second of one execute")]'),
                     "request Id")
    assert out.words("execute") == ["ack"] * 4, out.text
    assert ids_read(out) == ["10", "11", "14"], out.text
    # VBA's DDEExecute: raw WM_DDE_EXECUTE, ANSI and Unicode.
    out = run_client(app.prefix, app.win_build, "raw-initiate Varnix SMS0",
                     f"raw-execute {esc(send_command('13800000015', texts['ansi']))}",
                     f"raw-execute {esc(send_command('13800000016', texts['unicode']))} unicode",
                     "raw-execute hex:5b53656e642822", "raw-terminate")
    assert out.words("raw-execute") == ["ack", "ack", "nak"], out.text
    results = watcher.wait_final(range(10, 17), 30)
    assert [s for i, s, _ in results if i == 17] == []
    records = modem.wait_pdus(pdus + 8, 10)
    assert records is not None
    assert pdu_messages(records[pdus:]) == [
        ("13800000009", "by execute"),
        ("+8613800000010", texts["unicode"]),
        ("13800000011", texts["ansi"]),
        ("13800000012", texts["lines"]),
        ("13800000013", texts["quotes"]),
        ("13800000014", texts["second"]),
        ("13800000015", texts["ansi"]),
        ("13800000016", texts["unicode"]),
    ]
    assert {i for i, s, _ in results if s == "queued"} == set(range(1, 17))

    # A message in three parts: one reference per part; a part refused
    # names its number.
    # The 5th AT+CMGS from here is the second message's second part.
    modem.set_cmgs(mr=100, parts=[{}, {}, {}, {}, {"result": "error"}], **QUICK)
    pdus = len(modem.pdus())
    out = run_client(app.prefix, app.win_build, CONNECT,
                     execute(send_command("13800000017", LONG)),
                     execute(send_command("13800000018", LONG)), "request Id")
    assert ids_read(out) == ["18"], out.text
    results = watcher.wait_final({17, 18}, 30)
    assert of_id(results, 17) == [("queued", ""), ("sent", "100 101 102")]
    assert of_id(results, 18) == [("queued", ""), ("failed", "part 2: +CMS ERROR: 500")]
    assert [r["mr"] for r in modem.pdus()[pdus:]] == [100, 101, 102, 103, None]

    # -- close with messages waiting --
    modem.set_cmgs(prompt_delay=0.01, result_delay=4)
    statuses = len(watcher.wait_values("Status", 18, 5))
    pdus = len(modem.pdus())
    out = run_client(app.prefix, app.win_build, CONNECT,
                     execute(send_command("13800000019", "under way") +
                             send_command("13800000020", "waiting one") +
                             send_command("13800000021", "waiting two")), "request Id")
    assert ids_read(out) == ["21"], out.text
    # The first is under way (its answer 4 s after its PDU), two wait.
    assert modem.wait_pdus(pdus + 1, 10) is not None
    app.ui("close", "answer:OK")
    # Nothing is taken during the shutdown.
    out = run_client(app.prefix, app.win_build, CONNECT,
                     execute(send_command("13800000022", "too late")))
    assert out.words("execute") == ["nak"], out.text
    assert app.wait_exit(30) is not None
    watcher.finish()
    results = watcher.results()
    assert of_id(results, 19) == [("queued", ""), ("sent", str(modem.mrs()[-1]))], results[-8:]
    assert of_id(results, 20) == [("queued", ""), ("failed", "closed")], results[-8:]
    assert of_id(results, 21) == [("queued", ""), ("failed", "closed")], results[-8:]
    assert of_id(results, 22) == []
    # Status only for the one that went out.
    assert watcher.values("Status")[statuses:] == ["1"]
    assert pdu_messages(modem.pdus()[pdus:]) == [("13800000019", "under way")]


CLIENTS = 20
PER_CLIENT = 50


def test_twenty_clients_send_a_thousand_messages_at_once(app, modem, tmp_path):
    app.write_settings(**PROMPTED)
    modem.set_cmgf("ok")
    modem.set_cmgs(mr=0)
    app.start()
    app.wait_started()
    watcher = Watcher(app, tmp_path, items=("Result",))

    def message(c, i):
        return f"139{c:04d}{i:04d}", f"client {c} message {i}"

    started = time.monotonic()
    clients = []
    for c in range(CLIENTS):
        commands = [CONNECT]
        for i in range(PER_CLIENT):
            commands += [execute(send_command(*message(c, i))), "request Id"]
        clients.append(start_client(app.prefix, app.win_build, *commands))
    outs = [client.finish(120) for client in clients]
    accepted = time.monotonic() - started

    total = CLIENTS * PER_CLIENT
    sent_as = {}  # id -> (number, text), as each client read it back
    for c, out in enumerate(outs):
        assert out.words("execute") == ["ack"] * PER_CLIENT, out.text[-2000:]
        ids = [int(v) for v in ids_read(out)]
        assert len(ids) == PER_CLIENT, out.text[-2000:]
        # Its own ids go up: each execute queued exactly one message.
        assert ids == sorted(set(ids)), ids
        for i, message_id in enumerate(ids):
            assert message_id not in sent_as, (message_id, c, i)
            sent_as[message_id] = message(c, i)
    assert sorted(sent_as) == list(range(1, total + 1))

    results = watcher.wait_results(2 * total, 120)
    drained = time.monotonic() - started
    finals = {}
    for message_id, state, detail in results:
        if state == "queued":
            continue
        assert message_id not in finals, (message_id, state, detail)
        finals[message_id] = (state, detail)
    assert sorted(finals) == list(range(1, total + 1))
    assert sorted(i for i, s, _ in results if s == "queued") == list(range(1, total + 1))

    records = modem.wait_pdus(total, 20)
    assert records is not None and len(records) == total
    time.sleep(0.5)
    assert len(modem.pdus()) == total
    at_modem = {}
    for (number, text), record in zip(pdu_messages(records), records):
        assert (number, text) not in at_modem, (number, text)
        at_modem[(number, text)] = record["mr"]
    # Every message once, with its own number and text; its Result names
    # the reference the modem gave that very PDU.
    assert set(at_modem) == set(sent_as.values())
    for message_id, msg in sent_as.items():
        assert finals[message_id] == ("sent", str(at_modem[msg])), (message_id, msg)
    out = run_client(app.prefix, app.win_build, CONNECT, "request Queue")
    assert out.first("request")["hex"] == served("0"), out.text
    watcher.finish()
    print(f"{total} messages: all accepted after {accepted:.1f} s, "
          f"all results after {drained:.1f} s")


def test_a_gateway_whose_port_failed_has_none_of_the_new_items(app):
    app.no_modem()
    app.write_settings(**PROMPTED)
    app.start()
    app.wait_started()
    out = run_client(app.prefix, app.win_build, CONNECT, "request Id", "request Result",
                     "request Queue", "advise Result")
    assert out.first("connect")["word"] == "ok", out.text
    assert out.words("request") == ["fail"] * 3, out.text
    assert out.words("advise") == ["fail"], out.text


# Wine 8.0's DDEML server side hands a Unicode server (DdeInitializeW) the
# command block of WM_DDE_EXECUTE as is only when every UTF-16 unit of the
# block is below U+0100; any other block is taken for ANSI and run through
# MultiByteToWideChar, which stops at the first NUL byte: a UTF-16 "[Send(...)"
# holding Korean arrives as "[" and is acknowledged as no command. The
# callback never sees the characters; the server takes the block from
# WM_DDE_EXECUTE on its conversation window, and this proves it does.
def test_a_unicode_execute_keeps_what_no_ansi_code_page_has(app, modem, tmp_path):
    app.write_settings(**PROMPTED)
    modem.set_cmgf("ok")
    modem.set_cmgs(**QUICK)
    app.start()
    app.wait_started()
    texts = ["한국어 ภาษาไทย — 中文", "em — dash", "中文短信"]
    out = run_client(app.prefix, app.win_build, CONNECT,
                     *[c for n, t in enumerate(texts)
                       for c in (execute(send_command(f"1380000000{n}", t), unicode=True),
                                 "request Id")])
    assert out.words("execute") == ["ack"] * 3, out.text
    assert ids_read(out) == ["1", "2", "3"], out.text
    # VBA's DDEExecute from a Unicode program: the raw message, UTF-16.
    out = run_client(app.prefix, app.win_build, "raw-initiate Varnix SMS0",
                     f"raw-execute {esc(send_command('13800000009', texts[0]))} unicode",
                     "raw-terminate")
    assert out.words("raw-execute") == ["ack"], out.text
    records = modem.wait_pdus(4, 20)
    assert records is not None, modem.pdus()
    assert pdu_messages(records) == [(f"1380000000{n}", t) for n, t in enumerate(texts)] + \
        [("13800000009", texts[0])]
