"""The administrator's log through the real Varnix.exe under Wine: one
message leaves its whole modem dialogue and its states in the day's file,
a log folder that cannot be written costs log lines and never a message
(and the gap is noted once it can be written again), old day files go at
start-up, and without Log nothing is written at all."""
import datetime
import pathlib
import re
import time

import pytest

from harness.dde import run_client
from harness.fixtures_app import DEFAULTS
from test_app_advanced import write_text_value
from test_results import CONNECT, QUICK, Watcher, ids_read, submit

pytestmark = pytest.mark.parametrize("app_build", ["x64"], indirect=True)

LOGGED = dict(DEFAULTS, Delay=300, Dialogue=1, Log=7)
STAMP = re.compile(rb"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} ")


def log_folder(prefix):
    """Beside the journal, in %ProgramData% of the prefix."""
    return pathlib.Path(prefix.path) / "drive_c" / "ProgramData" / "Korva" / "Varnix" / "logs"


def day_name(day, service="Varnix"):
    return f"{service}-{day:%Y-%m-%d}.log"


def today_file(prefix):
    return log_folder(prefix) / day_name(datetime.date.today())


def unescape(text):
    """The bytes of a modem line's text: <xx> back to the byte."""
    return re.sub(rb"<([0-9a-f]{2})>", lambda m: bytes([int(m.group(1), 16)]), text)


def events(path):
    """The text of every line after its time stamp; each line is checked to
    begin with one and to end with CR LF."""
    data = path.read_bytes()
    assert data.endswith(b"\r\n"), data[-200:]
    out = []
    for line in data[:-2].split(b"\r\n"):
        assert STAMP.match(line), line
        out.append(line[24:])
    return out


def wait_line(path, line, timeout):
    end = time.monotonic() + timeout
    while True:
        if path.exists() and line in path.read_bytes():
            return
        assert time.monotonic() < end, (
            f"{line!r} not in the log within {timeout} s:\n"
            f"{path.read_bytes()[-3000:].decode() if path.exists() else '(no file)'}")
        time.sleep(0.1)


def close_app(app):
    app.ui("close", "answer:OK")
    assert app.wait_exit(30) is not None


def test_one_message_leaves_its_whole_dialogue(app, modem):
    app.write_settings(**LOGGED)
    modem.set_cmgf("ok")
    modem.set_cmgs(mr=7, **QUICK)
    app.start()
    app.wait_started()
    out = run_client(app.prefix, app.win_build, CONNECT, *submit("13800000001", "hello log"),
                     "request Id")
    assert ids_read(out) == ["1"], out.text
    wait_line(today_file(app.prefix), b" message 1 sent 7\r\n", 20)
    close_app(app)

    lines = events(today_file(app.prefix))
    assert lines[0].startswith(b"start-up: service Varnix, COM1, 9600 baud, Log 7"), lines[0]
    assert lines[-1] == b"shutdown", lines[-5:]
    stamps = [l[:23] for l in today_file(app.prefix).read_bytes().split(b"\r\n") if l]
    assert stamps == sorted(stamps)

    # Every byte the modem received is in the log, in order, each write on
    # a line of its own: the start-up commands, then the message's.
    to_modem = [l[len(b"modem> "):] for l in lines if l.startswith(b"modem> ")]
    assert b"".join(unescape(l) for l in to_modem) == modem.received_bytes()
    assert to_modem[:2] == [b"ATE0<0d>", b"AT+CNMI=0, 0, 0, 0, 0<0d>"]
    pdu = modem.pdus()[0]["pdu"]
    assert pdu.encode() + b"<1a>" in to_modem, to_modem
    # Every byte it answered to the message's dialogue, one line per answer
    # (the start-up commands' answers are purged by the next write unread).
    from_modem = [l[len(b"modem< "):] for l in lines if l.startswith(b"modem< ")]
    first_read = next(i for i, l in enumerate(lines) if l.startswith(b"modem< "))
    command = [l for l in lines[:first_read] if l.startswith(b"modem> ")][-1]
    after = modem.wait_for(unescape(command[len(b"modem> "):]), 1)
    assert after is not None, lines
    answered = b"".join(b for t, b in modem.sent() if t >= after)
    assert b"".join(unescape(l) for l in from_modem) == answered
    assert b"<0d><0a>> " in from_modem and b"<0d><0a>+CMGS: 7<0d><0a>" in from_modem, from_modem
    assert b"<0d><0a>OK<0d><0a>" in from_modem, from_modem
    # The states, in order, after the PDU went out for "sent".
    assert [l for l in lines if l.startswith(b"message ")] == [b"message 1 queued",
                                                               b"message 1 sent 7"]
    assert lines.index(b"message 1 sent 7") > lines.index(b"modem> " + pdu.encode() + b"<1a>")


def test_a_folder_that_cannot_be_written_costs_lines_not_messages(app, modem, tmp_path):
    app.write_settings(**LOGGED)
    modem.set_cmgf("ok")
    modem.set_cmgs(mr=20, **QUICK)
    app.start()
    app.wait_started()
    folder = log_folder(app.prefix)
    wait_line(today_file(app.prefix), b" start-up: ", 10)
    watcher = Watcher(app, tmp_path)

    # The folder goes and a file of its name takes its place: nothing can be
    # created there (the tests run as root, whom no mode bit stops).
    away = folder.with_name("logs.away")
    folder.rename(away)
    folder.write_text("in the way")
    out = run_client(app.prefix, app.win_build, CONNECT,
                     *[c for n in (1, 2, 3) for c in submit(f"1380000000{n}", f"gap {n}")])
    assert out.words("poke").count("ack") == 9, out.text
    results = watcher.wait_final({1, 2, 3}, 20)
    assert {(i, s) for i, s, _ in results if s == "sent"} == {(1, "sent"), (2, "sent"),
                                                              (3, "sent")}
    assert len(modem.pdus()) == 3

    folder.unlink()
    away.rename(folder)
    out = run_client(app.prefix, app.win_build, CONNECT, *submit("13800000004", "after"))
    watcher.wait_final({4}, 20)
    watcher.finish()
    wait_line(today_file(app.prefix), b" message 4 sent ", 10)
    close_app(app)

    lines = events(today_file(app.prefix))
    assert not any(l.startswith(b"message 2 ") for l in lines), lines
    notes = [l for l in lines if re.fullmatch(rb"log: \d+ lines lost", l)]
    assert len(notes) == 1, lines
    lost = int(notes[0].split()[1])
    # At least the three messages' queued and sent lines and their PDUs.
    assert lost >= 9, notes
    assert lines.index(notes[0]) < lines.index(b"message 4 queued")
    assert lines[-1] == b"shutdown"


def test_a_settings_error_and_a_lost_port_are_logged(app, modem):
    app.write_settings(**dict(LOGGED, Delay=200, Watch=10))
    write_text_value(app, "Parts", "3")
    # A slow prompt, so that the unplug lands while the worker waits for it.
    modem.set_cmgf("ok")
    modem.set_cmgs(mr=100, prompt_delay=1.0, result_delay=0.05)
    app.start()
    app.wait_started()
    assert app.ui("answer:OK")["box_text"] == "Invalid data type for 'Parts'"
    path = today_file(app.prefix)
    rx = len(modem.commands())
    out = run_client(app.prefix, app.win_build, CONNECT, *submit("13800000001", "unplugged"))
    assert out.words("poke").count("ack") == 3, out.text
    end = time.monotonic() + 10
    while not any(c.startswith(b"at+cmgs=") for _, c in modem.commands()[rx:]):
        assert time.monotonic() < end, modem.commands()[rx:]
        time.sleep(0.01)
    modem.unplug(2)
    wait_line(path, b" port lost\r\n", 15)
    wait_line(path, b" port reopened: the modem answers again\r\n", 20)
    wait_line(path, b" message 1 sent 100\r\n", 10)
    close_app(app)

    lines = events(path)
    assert lines[1] == b"settings error: Invalid data type for 'Parts'", lines[:3]
    lost = lines.index(b"port lost")
    back = lines.index(b"port reopened: the modem answers again")
    # Opened again: the two start-up commands went out once more, in between.
    assert lines[lost + 1:back][-2:] == [b"modem> ATE0<0d>",
                                         b"modem> AT+CNMI=0, 0, 0, 0, 0<0d>"], lines[lost:back + 1]
    assert lines[-1] == b"shutdown"


def test_old_day_files_are_removed_at_start_up(app, modem):
    folder = log_folder(app.prefix)
    folder.mkdir(parents=True)
    today = datetime.date.today()
    kept = [day_name(today - datetime.timedelta(days=3)), day_name(today, "Varnix2"),
            day_name(today - datetime.timedelta(days=30), "Varnix2"), "notes.txt",
            "Varnix-old.log"]
    gone = [day_name(today - datetime.timedelta(days=4)),
            day_name(today - datetime.timedelta(days=400))]
    for name in kept + gone:
        (folder / name).write_bytes(b"x\r\n")
    app.write_settings(**dict(LOGGED, Log=3))
    app.start()
    app.wait_started()
    wait_line(today_file(app.prefix), b" start-up: ", 10)
    close_app(app)
    assert sorted(p.name for p in folder.iterdir()) == sorted(kept + [day_name(today)])


@pytest.mark.parametrize("log", [None, 0])
def test_without_log_nothing_is_written(app, modem, log):
    settings = dict(LOGGED)
    del settings["Log"]
    if log is not None:
        settings["Log"] = log
    app.write_settings(**settings)
    modem.set_cmgf("ok")
    modem.set_cmgs(mr=1, **QUICK)
    app.start()
    app.wait_started()
    out = run_client(app.prefix, app.win_build, CONNECT, *submit("13800000001", "no log"))
    assert out.words("poke").count("ack") == 3, out.text
    assert modem.wait_pdus(1, 20) is not None
    close_app(app)
    drive = pathlib.Path(app.prefix.path) / "drive_c"
    assert not (drive / "ProgramData" / "Korva").exists()
    assert not list(drive.glob("users/*/AppData/Local/Korva")), "a folder was made"
