"""The outbox through the real Varnix.exe under Wine: a gateway killed in
the middle of a burst loses nothing and sends nothing twice, a torn or
corrupt journal costs only its broken end, messages waiting at a clean
close go out after the next start, and a second copy of the program keeps
its own service, settings, modem and journal."""
import shutil
import time

import pytest

from harness.dde import run_client, served
from harness.fixtures_app import DEFAULTS
from harness.modem import SimModem
from harness.outbox import (accepted, final_states, journal_bytes, journal_path,
                            kill_windows_process, map_modems, record, records,
                            write_service_settings)
from test_results import CONNECT, Watcher, execute, ids_read, pdu_messages, send_command

pytestmark = pytest.mark.parametrize("app_build", ["x64"], indirect=True)

OUTBOX = dict(DEFAULTS, Delay=300, Dialogue=1, Outbox=1)
QUICK = dict(prompt_delay=0.01, result_delay=0.02)
FINAL = ("sent", "failed", "unknown")


def text_of(n):
    return f"burst message {n:03d}"


def number_of(n):
    return f"1390000{n:04d}"


def request(app, item, service="Varnix"):
    out = run_client(app.prefix, app.win_build, f"connect {service} SMS0", f"request {item}")
    return out.first("request")["hex"]


def wait_item(app, item, value, timeout, service="Varnix"):
    end = time.monotonic() + timeout
    while True:
        got = request(app, item, service)
        if got == served(value):
            return
        assert time.monotonic() < end, f"{item} of {service} is {got}, not {value!r}"
        time.sleep(0.2)


def close_app(app):
    app.ui("close", "answer:OK")
    assert app.wait_exit(30) is not None


def finals_seen(results):
    out = {}
    for i, state, detail in results:
        if state in FINAL:
            out.setdefault(i, []).append(state)
    return out


def test_killed_in_the_middle_of_a_burst(app, modem, tmp_path):
    app.write_settings(**OUTBOX)
    modem.set_cmgf("ok")
    modem.set_cmgs(prompt_delay=0.01, result_delay=0.3, mr=0)
    app.start()
    app.wait_started()
    watcher = Watcher(app, tmp_path)

    total = 200
    commands = []
    for first in range(1, total + 1, 50):
        cmd = "".join(send_command(number_of(n), text_of(n)) for n in range(first, first + 50))
        commands += [execute(cmd), "request Id"]
    out = run_client(app.prefix, app.win_build, CONNECT, *commands)
    assert out.words("execute") == ["ack"] * 4, out.text[-2000:]
    assert ids_read(out) == ["50", "100", "150", "200"], out.text[-2000:]

    # A few go out; then the moment a PDU has arrived and its answer is
    # still 0.3 s away, the process dies.
    assert modem.wait_pdus(4, 30) is not None
    seen = len(modem.pdus())
    end = time.monotonic() + 10
    while len(modem.pdus()) == seen:
        assert time.monotonic() < end, "no PDU within 10 s"
        time.sleep(0.005)
    kill_windows_process(app.prefix, "Varnix.exe")
    killed_at = time.monotonic()
    under_way = modem.pdus()[-1]
    assert killed_at - under_way["t"] < 0.3, "the kill came after the answer"
    at_kill = len(modem.pdus())
    watcher.stop.write_text("")
    try:
        watcher.client.started.wait(30)
    except Exception:
        watcher.client.started.kill()
    first_run = watcher.results()
    app.proc.kill()

    # The next start: the port opens again, and what was left goes out.
    modem.set_cmgs(mr=100, **QUICK)
    app.start()
    app.wait_started()
    assert request(app, "Wakeup") == served("1")
    (tmp_path / "second").mkdir()
    watcher = Watcher(app, tmp_path / "second")
    wait_item(app, "Queue", "0", 60)
    out = run_client(app.prefix, app.win_build, CONNECT,
                     execute(send_command("13900009999", "after the restart")), "request Id")
    assert ids_read(out) == [str(total + 1)], out.text
    watcher.wait_final({total + 1}, 20)
    watcher.finish()
    second_run = watcher.results()

    # Every accepted message has exactly one final state in the journal:
    # sent, or unknown for the one that was under way.
    journal = final_states(journal_path(app.prefix).read_bytes())
    assert sorted(journal) == list(range(1, total + 2))
    assert all(len(v) == 1 for v in journal.values()), journal
    unknown = [i for i, v in journal.items() if v == ["unknown"]]
    assert all(v in (["sent"], ["unknown"]) for v in journal.values()), journal
    assert len(unknown) <= 1, unknown
    # What clients were told agrees, and no id ended twice.
    told = finals_seen(first_run)
    for i, states in finals_seen(second_run).items():
        told.setdefault(i, []).extend(states)
    for i, states in told.items():
        assert states == journal[i], (i, states, journal[i])
    assert {i for i, s, _ in first_run if s == "queued"} == set(range(1, total + 1))

    # No PDU reached the modem twice; each sent message's text reached it.
    messages = pdu_messages(modem.pdus())
    assert len(messages) == len(set(messages)), messages
    got = {text for _, text in messages}
    sent_ids = {i for i, v in journal.items() if v == ["sent"] and i <= total}
    assert got >= {text_of(i) for i in sent_ids}
    assert len(messages) == len(sent_ids) + len(unknown) + 1
    # The one under way at the kill is the unknown one (unless its answer
    # made it into the journal first): it did not go out again.
    last_text = pdu_messages([under_way])[0][1]
    assert [t for _, t in messages].count(last_text) == 1
    if unknown:
        assert text_of(unknown[0]) == last_text
    assert at_kill <= len(messages)


def test_a_torn_or_corrupt_journal_keeps_its_intact_records(app, modem, tmp_path):
    app.write_settings(**OUTBOX)
    modem.set_cmgf("ok")
    modem.set_cmgs(mr=0, **QUICK)
    path = journal_path(app.prefix)
    path.parent.mkdir(parents=True, exist_ok=True)

    # Torn: the last record cut in half.
    data = journal_bytes([accepted(n, number_of(n), text_of(n)) for n in (1, 2, 3)])
    last = record(accepted(4, number_of(4), text_of(4)))
    path.write_bytes(data + last[:len(last) // 2])
    app.start()
    app.wait_started()
    wait_item(app, "Queue", "0", 30)
    assert pdu_messages(modem.wait_pdus(3, 10) or []) == \
        [(number_of(n), text_of(n)) for n in (1, 2, 3)]
    out = run_client(app.prefix, app.win_build, CONNECT,
                     execute(send_command(number_of(5), text_of(5))), "request Id")
    assert ids_read(out) == ["4"], out.text
    assert modem.wait_pdus(4, 10) is not None
    wait_item(app, "Queue", "0", 10)
    close_app(app)
    recs, left = records(path.read_bytes())
    assert left == 0, path.read_bytes()
    assert [r[:2] for r in recs if r[0] == "A"] == [["A", "1"], ["A", "2"], ["A", "3"], ["A", "4"]]
    assert final_states(path.read_bytes()) == {n: ["sent"] for n in (1, 2, 3, 4)}

    # Corrupt in the middle: a CRC that does not match; it and all after it
    # are cut.
    good = record(accepted(11, number_of(11), text_of(11)))
    bad = bytearray(record(accepted(12, number_of(12), text_of(12))))
    bad[-3] = ord("0") if bad[-3] != ord("0") else ord("1")
    after = record(accepted(13, number_of(13), text_of(13)))
    path.write_bytes(journal_bytes([]) + good + bytes(bad) + after)
    seen = len(modem.pdus())
    app.start()
    app.wait_started()
    wait_item(app, "Queue", "0", 30)
    time.sleep(0.5)
    assert pdu_messages(modem.pdus()[seen:]) == [(number_of(11), text_of(11))]
    out = run_client(app.prefix, app.win_build, CONNECT,
                     execute(send_command(number_of(14), text_of(14))), "request Id")
    assert ids_read(out) == ["12"], out.text
    assert modem.wait_pdus(seen + 2, 10) is not None
    wait_item(app, "Queue", "0", 10)
    close_app(app)
    recs, left = records(path.read_bytes())
    assert left == 0
    assert final_states(path.read_bytes()) == {11: ["sent"], 12: ["sent"]}
    assert pdu_messages(modem.pdus()[seen:]) == [(number_of(11), text_of(11)),
                                                 (number_of(14), text_of(14))]


def test_messages_waiting_at_a_clean_close_go_out_after_the_next_start(app, modem, tmp_path):
    app.write_settings(**OUTBOX)
    modem.set_cmgf("ok")
    modem.set_cmgs(prompt_delay=0.01, result_delay=3, mr=0)
    app.start()
    app.wait_started()
    watcher = Watcher(app, tmp_path)
    out = run_client(app.prefix, app.win_build, CONNECT,
                     execute("".join(send_command(number_of(n), text_of(n)) for n in (1, 2, 3))),
                     "request Id")
    assert ids_read(out) == ["3"], out.text
    assert modem.wait_pdus(1, 10) is not None
    close_app(app)
    watcher.finish()
    results = watcher.results()
    # The one under way finished; the two waiting were not failed.
    assert [s for i, s, _ in results if i == 1] == ["queued", "sent"], results
    assert [(i, s) for i, s, _ in results if i in (2, 3)] == [(2, "queued"), (3, "queued")]
    assert final_states(journal_path(app.prefix).read_bytes()) == {1: ["sent"]}

    modem.set_cmgs(mr=50, **QUICK)
    app.start()
    app.wait_started()
    wait_item(app, "Queue", "0", 30)
    assert final_states(journal_path(app.prefix).read_bytes()) == \
        {1: ["sent"], 2: ["sent"], 3: ["sent"]}
    time.sleep(0.5)
    assert pdu_messages(modem.pdus()) == [(number_of(n), text_of(n)) for n in (1, 2, 3)]


def test_two_instances_each_on_its_own_modem(app, modem, tmp_path):
    modem2 = SimModem.start(tmp_path / "modem2")
    try:
        map_modems(app.prefix, {1: modem, 2: modem2})
        app.write_settings(**OUTBOX)
        write_service_settings(app.prefix, tmp_path, "Varnix2", **dict(OUTBOX, Port=2))
        for m in (modem, modem2):
            m.set_cmgf("ok")
            m.set_cmgs(mr=0, **QUICK)
        exe2 = tmp_path / "Varnix2.exe"
        shutil.copyfile(app.exe, exe2)
        app.start()
        app.wait_started()
        second = app.prefix.start(exe2)
        end = time.monotonic() + 30
        while run_client(app.prefix, app.win_build, "raw-initiate Varnix2 SMS0 500") \
                .first("raw-initiate").get("acks", "0") == "0":
            assert second.running() and time.monotonic() < end, second.output()
            time.sleep(0.2)
        wait_item(app, "Wakeup", "1", 30, service="Varnix2")
        out1 = run_client(app.prefix, app.win_build, CONNECT,
                          execute(send_command("13900000001", "to the first modem")),
                          "request Id")
        out2 = run_client(app.prefix, app.win_build, "connect Varnix2 SMS0",
                          execute(send_command("13900000002", "to the second modem")),
                          "request Id")
        assert ids_read(out1) == ["1"] and ids_read(out2) == ["1"], (out1.text, out2.text)
        assert modem.wait_pdus(1, 10) is not None and modem2.wait_pdus(1, 10) is not None
        time.sleep(0.5)
        assert pdu_messages(modem.pdus()) == [("13900000001", "to the first modem")]
        assert pdu_messages(modem2.pdus()) == [("13900000002", "to the second modem")]
        # Each journal holds its own message.
        for service, text in (("Varnix", "first"), ("Varnix2", "second")):
            recs, left = records(journal_path(app.prefix, service).read_bytes())
            assert left == 0
            entries = [r[3] + r[4] for r in recs if r[0] == "A"]
            assert len(entries) == 1 and text in entries[0], (service, recs)
        second.kill()
    finally:
        modem2.stop()
