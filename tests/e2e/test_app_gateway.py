"""Varnix.exe as a whole under Wine: start-up against the simulated modem,
messages from DDE clients to the modem and back, the Port failed state,
the exit question and the shutdown."""
import time

import gammu

from harness.dde import esc, run_client, send_exe, served, start_client
from harness.fixtures_app import DEFAULTS

CONNECT = "connect Varnix SMS0"
FAST = dict(DEFAULTS, Delay=300)
CMNI = b"AT+CNMI=0, 0, 0, 0, 0\r"


def wall_offset():
    """time.time() - time.monotonic(): turns the modem's monotonic times
    into the clients' wall-clock milliseconds."""
    return time.time() - time.monotonic()


def submit(number, text):
    return [f"poke Num {number}", f"poke SMS {esc(text)}", "poke Send 1"]


def decoded(pdu_line):
    """Number and text of the SMS-SUBMIT the modem received (hex + Ctrl-Z)."""
    pdu = pdu_line.rstrip(b"\x1a").decode()
    sms = gammu.DecodePDU(bytes.fromhex(pdu), SMSC=True)
    return sms["Number"], sms["Text"]


def close_and_confirm(app):
    """File > Exit, answered with OK; returns the seconds from the answer to
    the end of the process."""
    app.ui("menu:X1", "answer:OK")
    return app.wait_exit(20)


def test_first_start_defaults_modem_init_window_and_exit(app, modem):
    app.start()
    t_cnmi = modem.wait_for(CMNI, 30)
    assert t_cnmi is not None
    app.wait_started()
    # The window is shown (and the worker started) only after the second
    # pause of Delay ms.
    assert time.monotonic() - t_cnmi >= 1.9

    # The six defaults were written back to the empty key.
    assert app.settings() == DEFAULTS

    # Exactly the two commands, Delay (2000 ms) apart, and nothing else.
    cmds = modem.commands()
    assert [c for _, c in cmds] == [b"ATE0\r", CMNI], cmds
    assert 1.9 <= cmds[1][0] - cmds[0][0] <= 2.6, cmds

    ui = app.ui("status")
    assert ui["caption"] == "Varnix"
    assert ui["panel0"] == "Topic: SMS0"
    assert ui["panel1"] == ""
    assert ui["parts"] == "2"
    assert ui["iconic"] == "1"
    assert (ui["maximizebox"], ui["minimizebox"], ui["sizable"]) == ("0", "1", "0")
    ui = app.ui("restore", "status")
    assert (ui["iconic"], ui["client"], ui["statusbar_height"]) == ("0", "334x31", "19")

    out = run_client(app.prefix, app.win_build, CONNECT, "request Wakeup", "request Send")
    assert [r["hex"] for r in out.of("request")] == [served("1"), "00"], out.text

    # The settings dialog shows the defaults, modally; the close box changes
    # nothing.
    ui = app.ui("menu:O2", "wait-com", "com-read", "com-press:close", "wait-com-hidden")
    assert [ui["com_" + f] for f in ("port", "bits", "stop", "parity", "baud", "delay")] == [
        "COM1", "8", "1", "无", "9600", "2000"]
    assert ui["com_caption"] == "设置通信参数"
    assert ui["com_delay_limit"] == "5"
    assert ui["main_enabled"] == "0"
    assert app.ui("status")["enabled"] == "1"
    assert app.settings() == DEFAULTS

    # About: Escape leaves it open, Enter closes it.
    ui = app.ui("menu:A1", "wait-about", "about-key:escape", "sleep:400", "about-read",
                "about-key:enter", "wait-about-hidden:3000")
    assert ui["about_caption"] == "关于"
    assert ui["about_label1"] == "Varnix   (短信DDE 服务器)"
    assert ui["about_label2"].startswith("V2.0.0")
    assert ui["about_button"] == "关闭(&C)"
    assert ui["about_size"] == "382x283"
    assert (ui["about_logo"], ui["about_image_size"]) == ("present", "249x41")
    assert ui["main_enabled"] == "0"

    # The exit question; Cancel keeps everything running.
    ui = app.ui("menu:X1", "answer:Cancel")
    assert (ui["box_title"], ui["box_text"]) == ("Confirm", "确认退出 SMS?")
    assert (ui["box_ok"], ui["box_cancel"], ui["box_default"]) == ("1", "1", "1")
    time.sleep(0.5)
    assert app.running()
    out = run_client(app.prefix, app.win_build, CONNECT, "request Wakeup")
    assert out.first("request")["word"] == "ok", out.text

    # The close box asks the same; OK while idle ends the process at once.
    ui = app.ui("close", "answer:OK")
    assert (ui["box_title"], ui["box_text"]) == ("Confirm", "确认退出 SMS?")
    took = app.wait_exit(10)
    assert took is not None and took < 1.0, took
    print(f"idle close: process ended {took * 1000:.0f} ms after the answer")
    assert [c for _, c in modem.commands()] == [b"ATE0\r", CMNI]


def test_messages_reach_the_modem_and_every_outcome_is_published(app, modem):
    app.write_settings(**FAST)
    app.start()
    app.wait_started()
    offset = wall_offset()

    watcher = start_client(app.prefix, app.win_build, CONNECT, "advise Status",
                           "echo ADVISED", "waitadv 2 60000")
    watcher.wait_for("ADVISED")

    modem.set_reply("cmgs")
    text = "你好，Varnix 短信"
    out = run_client(app.prefix, app.win_build, CONNECT, *submit("13800138000", text))
    assert out.words("poke") == ["ack"] * 3, out.text
    assert modem.wait_for(b"\x1a", 20) is not None
    watcher.wait_for("advdata")

    modem.set_reply("cms_error")
    run_client(app.prefix, app.win_build, CONNECT, *submit("+8613912345678", "second"))
    result = watcher.finish()
    adv = result.of("advdata")
    assert [a["hex"] for a in adv] == [served("1"), served("0")], result.text

    cmds = [c for _, c in modem.commands()]
    assert cmds[:2] == [b"ATE0\r", CMNI]
    pdus = [c for c in cmds if c.endswith(b"\x1a")]
    assert len(pdus) == 2, cmds
    assert decoded(pdus[0]) == ("13800138000", text)
    assert decoded(pdus[1]) == ("+8613912345678", "second")
    first = cmds.index(pdus[0])
    assert cmds[first - 2] == b"at+cmgf=0\r"
    assert cmds[first - 1].startswith(b"at+cmgs=") and cmds[first - 1].endswith(b"\r")

    # The modem answered at once: the status follows the Ctrl-Z after the
    # Delay of 300 ms from the registry.
    ctrlz = [t for t, c in modem.commands() if c.endswith(b"\x1a")][0]
    gap = float(adv[0]["t"]) / 1000 - (ctrlz + offset)
    assert 0.28 <= gap <= 0.7, gap

    # varnix-send against the real gateway: 0 sent, 1 refused by the modem.
    modem.set_reply("cmgs")
    code, out = app.prefix.run(send_exe(app.win_build), "13800138000", "测试消息")
    assert code == 0, out
    modem.set_reply("cms_error")
    code, out = app.prefix.run(send_exe(app.win_build), "13800138000", "x")
    assert code == 1, out

    assert close_and_confirm(app) is not None
    # 2 when no gateway runs.
    code, out = app.prefix.run(send_exe(app.win_build), "13800138000", "x")
    assert code == 2, out


def test_a_comma_in_num_is_refused_in_its_place_and_never_reaches_the_modem(app, modem):
    app.write_settings(**FAST)
    app.start()
    app.wait_started()

    watcher = start_client(app.prefix, app.win_build, CONNECT, "advise Status",
                           "echo ADVISED", "waitadv 4 60000")
    watcher.wait_for("ADVISED")
    modem.set_reply("cmgs")

    # Alone: Status becomes 0 and not a byte goes to the modem.
    out = run_client(app.prefix, app.win_build, CONNECT, *submit("123,4", "hi"),
                     "request Send")
    assert out.words("poke") == ["ack"] * 3, out.text
    assert out.first("request")["hex"] == served("0"), out.text
    watcher.wait_for("advdata")
    # Long enough for a whole dialogue at this Delay, had one begun.
    time.sleep(3)
    cmds = [c for _, c in modem.commands()]
    assert cmds == [b"ATE0\r", CMNI], cmds
    out = run_client(app.prefix, app.win_build, CONNECT, "request Status")
    assert out.first("request")["hex"] == served("0"), out.text

    # Between two good messages: its 0 comes in its place.
    run_client(app.prefix, app.win_build, CONNECT, *submit("13800138000", "first"),
               *submit("123,4", "hi"), *submit("13900139000", "third"))
    result = watcher.finish()
    adv = result.of("advdata")
    assert [a["hex"] for a in adv] == [served(v) for v in ("0", "1", "0", "1")], result.text

    cmds = [c for _, c in modem.commands()]
    assert len([c for c in cmds if c.startswith(b"at+cmgs=")]) == 2, cmds
    pdus = [c for c in cmds if c.endswith(b"\x1a")]
    assert [decoded(p) for p in pdus] == [("13800138000", "first"), ("13900139000", "third")]
    assert close_and_confirm(app) is not None


def test_close_during_a_message_finishes_it_and_drops_the_queue(app, modem):
    app.write_settings(**FAST)
    app.start()
    app.wait_started()

    watcher = start_client(app.prefix, app.win_build, CONNECT, "advise Status",
                           "echo ADVISED", "waitadv 1 60000")
    watcher.wait_for("ADVISED")
    # The reply comes 2.5 s after the PDU: the worker is mid-message when the
    # exit is confirmed.
    modem.set_reply("cmgs", after=2.5)
    run_client(app.prefix, app.win_build, CONNECT, *submit("10086", "one"),
               *submit("10010", "two"), *submit("10000", "three"))
    t_pdu = modem.wait_for(b"\x1a", 20)
    assert t_pdu is not None

    app.ui("close", "answer:OK")
    t_ok = time.monotonic()
    ui = app.ui("status")
    assert ui["panel0"] == "正在停止…"
    assert app.running()
    # Window messages and DDE go on being served meanwhile; a send now is
    # acknowledged but queues nothing.
    out = run_client(app.prefix, app.win_build, CONNECT, "request Wakeup",
                     *submit("12345", "late"), "request Send")
    assert out.first("request")["hex"] == served("1"), out.text
    assert out.of("request")[-1]["hex"] == served("0"), out.text

    took = app.wait_exit(30)
    assert took is not None
    ended = time.monotonic()
    # Not before the modem's answer had come and been judged.
    assert ended >= t_pdu + 2.5, (ended - t_pdu)
    assert ended - t_ok < 6, ended - t_ok

    result = watcher.finish()
    assert [a["hex"] for a in result.of("advdata")] == [served("1")], result.text
    # Only the message under way ever reached the modem.
    pdus = [c for _, c in modem.commands() if c.endswith(b"\x1a")]
    assert len(pdus) == 1 and decoded(pdus[0]) == ("10086", "one"), pdus


def test_port_failed_state(app):
    app.no_modem()
    app.write_settings(**FAST)
    app.start()
    app.wait_started()

    ui = app.ui("status")
    assert ui["panel0"] == "提示: 打开串口出错!"
    assert ui["panel1"] == ""
    assert (ui["iconic"], ui["visible"]) == ("0", "1")
    assert ui["client"] == "334x31"
    assert ui["statusbar_height"] == "19"
    # Centred on the desktop.
    left, top, right, bottom = map(int, ui["window"].split(","))
    sw, sh = map(int, ui["screen"].split("x"))
    assert abs((left + right) - sw) <= 1 and abs((top + bottom) - sh) <= 1, ui.text

    # Window captions are topics too, also of the hidden dialogs.
    out = run_client(app.prefix, app.win_build, "connect Varnix Varnix", "disconnect",
                     "connect Varnix 设置通信参数", "disconnect", "connect Varnix 关于",
                     "disconnect", "connect Varnix NoSuchTopic")
    assert out.words("connect") == ["ok", "ok", "ok", "fail"], out.text

    # The topic exists but has no items.
    out = run_client(app.prefix, app.win_build, CONNECT, "request Wakeup",
                     *submit("10086", "x"))
    assert out.first("connect")["word"] == "ok", out.text
    assert out.first("request")["word"] == "fail", out.text
    assert set(out.words("poke")) == {"nak"}, out.text

    ui = app.ui("close", "answer:Cancel", "sleep:300", "status")
    assert ui["box_text"] == "确认退出 SMS?"
    assert app.running()
    # The end of the logon asks the same question; Cancel refuses it.
    ui = app.ui("query-end-session", "answer:Cancel", "query-end-session-result")
    assert (ui["box_title"], ui["box_text"]) == ("Confirm", "确认退出 SMS?")
    assert ui["query_end_session"] == "0"
    assert app.running()
    ui = app.ui("query-end-session", "answer:OK", "query-end-session-result")
    assert ui["query_end_session"] == "1"
    assert app.running()
    app.ui("end-session")
    took = app.wait_exit(10)
    assert took is not None and took < 1.0, took


def test_file_exit_while_port_failed_ends_at_once(app):
    app.no_modem()
    app.write_settings(**FAST)
    app.start()
    app.wait_started()
    took = close_and_confirm(app)
    assert took is not None and took < 1.0, took


def test_registry_error_at_start_is_shown_without_holding_up_the_gateway(app, modem):
    # "Bit" of the wrong type: Port is loaded, Bit and what follows keep
    # their defaults; the gateway comes up all the same.
    app.write_settings(Port=1)
    regfile = app.workdir / "bad.reg"
    regfile.write_text("REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Wow6432Node\\Korva"
                       "\\Varnix\\2.00]\r\n\"Bit\"=\"x\"\r\n")
    assert app.prefix.reg("import", str(regfile))[0] == 0
    app.start()
    ui = app.ui("wait-box:30000")
    assert ui["box_title"] == "Varnix"
    assert ui["box_text"] == "Invalid data type for 'Bit'"
    # Start-up went through to the worker while the box is up.
    assert modem.wait_for(CMNI, 10) is not None
    assert app.ui("status")["panel0"] == "Topic: SMS0"
    out = run_client(app.prefix, app.win_build, CONNECT, "request Wakeup")
    assert out.first("request")["hex"] == served("1"), out.text
    app.ui("answer:OK")
    assert app.running()
