"""The communication settings dialog of the real Varnix.exe, driven through
its controls: what it shows, what Apply stores, what a refused Apply and
Cancel leave alone, and a new Delay reaching the running worker."""
import time

from harness.dde import esc, run_client, served, start_client
from harness.fixtures_app import DEFAULTS

CONNECT = "connect Varnix SMS0"
FIELDS = ("port", "bits", "stop", "parity", "baud", "delay")


def shown(ui):
    return [ui["com_" + f] for f in FIELDS]


def status_gap(app, modem, text):
    """Sends one message; returns the seconds from the modem's Ctrl-Z to the
    status update seen by an advised client (the worker's Delay pause)."""
    offset = time.time() - time.monotonic()
    before = len([c for _, c in modem.commands() if c.endswith(b"\x1a")])
    watcher = start_client(app.prefix, app.win_build, CONNECT, "advise Status",
                           "echo ADVISED", "waitadv 1 30000")
    watcher.wait_for("ADVISED")
    run_client(app.prefix, app.win_build, CONNECT, "poke Num 13800138000",
               f"poke SMS {esc(text)}", "poke Send 1")
    adv = watcher.finish().of("advdata")
    assert [a["hex"] for a in adv] == [served("1")]
    ctrlz = [t for t, c in modem.commands() if c.endswith(b"\x1a")]
    assert len(ctrlz) == before + 1
    return float(adv[0]["t"]) / 1000 - (ctrlz[-1] + offset)


def test_apply_refusals_cancel_and_a_new_delay(app, modem):
    start = dict(DEFAULTS, Delay=300)
    app.write_settings(**start)
    app.start()
    app.wait_started()
    modem.set_reply("cmgs")
    assert 0.28 <= status_gap(app, modem, "慢") <= 0.7

    ui = app.ui("menu:O2", "wait-com", "com-read")
    assert shown(ui) == ["COM1", "8", "1", "无", "9600", "300"]
    # The modal loop goes on serving DDE.
    out = run_client(app.prefix, app.win_build, CONNECT, "request Wakeup")
    assert out.first("request")["hex"] == served("1"), out.text

    # An empty Delay: the conversion error, the dialog stays with the
    # user's entries, nothing is stored anywhere.
    ui = app.ui("com-set:bits:7", "com-set:delay:", "com-press:apply", "answer:OK", "com-read")
    assert ui["box_title"] == "Varnix"
    assert ui["box_text"] == "'' is not a valid integer value"
    assert shown(ui) == ["COM1", "7", "1", "无", "9600", ""]
    # Out of range and not a number.
    ui = app.ui("com-set:delay:-5", "com-press:apply", "answer:OK",
                "com-set:delay:12a", "com-press:apply", "answer:OK", "com-read")
    assert ui.all("box_text") == ["'-5' is not a valid Delay: it must be 0..99999 ms",
                                  "'12a' is not a valid integer value"]
    assert app.settings() == start

    # Cancel: nothing changed; reopening shows the stored values again.
    ui = app.ui("com-press:cancel", "wait-com-hidden", "menu:O2", "wait-com", "com-read")
    assert shown(ui) == ["COM1", "8", "1", "无", "9600", "300"]
    assert app.settings() == start

    # Apply through the controls.
    ui = app.ui("com-set:bits:7", "com-set:parity:偶校验", "com-set:stop:2",
                "com-set:baud:115200", "com-set:delay:500", "com-press:apply",
                "no-box:500", "wait-com-hidden:3000")
    assert app.settings() == {"Port": 1, "Bit": 7, "Stop": 2, "Parity": 2, "Baud": 115200,
                              "Delay": 500}
    ui = app.ui("menu:O2", "wait-com", "com-read", "com-press:close", "wait-com-hidden")
    assert shown(ui) == ["COM1", "7", "2", "偶校验", "115200", "500"]

    # The running worker takes the new Delay at its next pause.
    assert 0.48 <= status_gap(app, modem, "快") <= 0.9


def test_values_outside_the_lists_are_kept_by_apply(app):
    # A port and a baud rate that no list offers, from the registry.
    start = dict(DEFAULTS, Port=7, Baud=600, Delay=300)
    app.no_modem()
    app.write_settings(**start)
    app.start()
    app.wait_started()
    ui = app.ui("menu:O2", "wait-com", "com-read")
    assert shown(ui) == ["", "8", "1", "无", "", "300"]
    # Apply stores what was chosen and keeps the fields whose list has no
    # selection.
    app.ui("com-set:bits:6", "com-set:delay:0x10", "com-press:apply", "no-box:500",
           "wait-com-hidden:3000")
    assert app.settings() == dict(start, Bit=6, Delay=16)
