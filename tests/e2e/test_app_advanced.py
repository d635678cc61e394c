"""The advanced settings dialog of the real Varnix.exe, driven through its
controls: what it shows, what Apply stores, what a refused Apply and Cancel
leave alone; and a copy of the program under another name, which keeps its
settings in a key of its own and serves DDE under its own name."""
import pathlib
import shutil

import pytest

from harness.dde import run_client, served
from harness.fixtures_app import DEFAULTS, NAMES, SETTINGS_KEY, SETTINGS_KEY_32

# The x64 build only: the dialog is the same code on both builds.
pytestmark = pytest.mark.parametrize("app_build", ["x64"], indirect=True)

EXT = ("Parts", "Alphabet", "Dialogue", "Outbox", "Retries", "Watch",
       "Receive", "Report", "Log")
NOTE_MESSAGE = "从下一条短信起生效: 长短信分段数、GSM 7 位编码、失败重试次数。"
NOTE_START = ("下次启动后才生效: 按提示符对话、发件箱、检查调制解调器间隔、接收短信间隔、"
              "送达报告、日志保留天数。")


def values(app, key=SETTINGS_KEY, names=NAMES + EXT):
    """The REG_DWORD values of a key (32-bit view); None for a missing one."""
    return {n: app.prefix.reg_query_dword(key, n, view=32) for n in names}


def write_text_value(app, name, text):
    """Stores a REG_SZ value where Varnix reads its settings (32-bit view)."""
    regfile = pathlib.Path(app.workdir) / "text-value.reg"
    regfile.write_text(f'REGEDIT4\r\n\r\n[{SETTINGS_KEY_32}]\r\n"{name}"="{text}"\r\n')
    code, out = app.prefix.reg("import", str(regfile))
    assert code == 0, out


def shown(ui):
    return {n: ui["adv_" + n] for n in EXT}


def set_all(**fields):
    return [f"adv-set:{n}:{v}" for n, v in fields.items()]


def test_shows_the_stored_values_and_applies_all_or_nothing(app):
    app.no_modem()
    stored = dict(DEFAULTS, Parts=3, Alphabet=1, Retries=2, Watch=60, Log=7)
    app.write_settings(**stored)
    write_text_value(app, "Report", "1")
    app.start()
    app.wait_started()
    ui = app.ui("answer:OK")
    assert ui["box_text"] == "Invalid data type for 'Report'"
    before = values(app)
    assert before == {**{n: None for n in EXT}, **stored}

    # Absent values are shown as 0, switches as unchecked, and so is the
    # value of another type, which stays off.
    ui = app.ui("menu:O3", "wait-adv", "adv-read")
    assert ui["adv_caption"] == "高级设置"
    assert ui["adv_note_message"] == NOTE_MESSAGE
    assert ui["adv_note_start"] == NOTE_START
    assert ui["main_enabled"] == "0"
    assert shown(ui) == {"Parts": "3", "Alphabet": "1", "Dialogue": "0", "Outbox": "0",
                         "Retries": "2", "Watch": "60", "Receive": "0", "Report": "0",
                         "Log": "7"}

    # One refused field refuses the whole Apply: the box names it, the
    # dialog keeps the entries, nothing is written.
    ui = app.ui(*set_all(Parts=5, Outbox=1, Retries=11), "adv-press:apply", "answer:OK",
                "adv-read")
    assert ui["box_title"] == "Varnix"
    assert ui["box_text"] == "“失败重试次数”必须在 0 到 10 之间"
    assert shown(ui)["Parts"] == "5" and shown(ui)["Retries"] == "11"
    ui = app.ui(*set_all(Retries=2, Watch=5), "adv-press:apply", "answer:OK",
                *set_all(Watch=60, Log="x"), "adv-press:apply", "answer:OK", "adv-read")
    assert ui.all("box_text") == ["“检查调制解调器间隔”必须是 0 (关闭) 或 10 到 3600 之间",
                                  "“日志保留天数”的值 'x' 不是整数"]
    assert values(app) == before

    # Cancel: nothing changed; reopening shows the stored values again.
    ui = app.ui("adv-press:cancel", "wait-adv-hidden", "menu:O3", "wait-adv", "adv-read")
    assert shown(ui)["Parts"] == "3" and shown(ui)["Outbox"] == "0"
    assert values(app) == before

    # Apply through the controls stores all nine, the six stay.
    ui = app.ui(*set_all(Parts=10, Alphabet=0, Dialogue=1, Outbox=1, Retries=10, Watch=3600,
                         Receive=5, Report=1, Log=365),
                "adv-press:apply", "no-box:500", "wait-adv-hidden:3000")
    applied = {"Parts": 10, "Alphabet": 0, "Dialogue": 1, "Outbox": 1, "Retries": 10,
               "Watch": 3600, "Receive": 5, "Report": 1, "Log": 365}
    assert values(app) == {**DEFAULTS, **applied}
    ui = app.ui("menu:O3", "wait-adv", "adv-read", "adv-press:close", "wait-adv-hidden")
    assert shown(ui) == {n: str(v) for n, v in applied.items()}

    # Back to off: zeros are stored, not left out.
    app.ui("menu:O3", "wait-adv", *set_all(**{n: 0 for n in EXT}), "adv-press:apply",
           "no-box:500", "wait-adv-hidden:3000")
    assert values(app) == {**DEFAULTS, **{n: 0 for n in EXT}}


def test_a_copy_named_varnix2_has_its_own_key_and_service(app, modem):
    # The first instance's settings, which the copy must neither read nor
    # change.
    base = dict(DEFAULTS, Delay=300, Parts=4)
    app.write_settings(**base)
    copy = pathlib.Path(app.workdir) / "Varnix2.exe"
    shutil.copy(app.exe, copy)
    app.exe = copy
    own_key = SETTINGS_KEY + r"\Varnix2"

    app.start()
    app.wait_started()
    # First start: the six defaults in its own key, nothing else.
    assert values(app, own_key) == {**DEFAULTS, **{n: None for n in EXT}}
    out = run_client(app.prefix, app.win_build, "connect Varnix2 SMS0", "request Wakeup",
                     "connect Varnix SMS0")
    assert out.words("connect") == ["ok", "fail"], out.text
    assert out.first("request")["hex"] == served("1"), out.text

    # Its dialogs show and store its own values.
    ui = app.ui("menu:O3", "wait-adv", "adv-read")
    assert shown(ui)["Parts"] == "0"
    app.ui("adv-set:Watch:30", "adv-press:apply", "no-box:500", "wait-adv-hidden:3000",
           "menu:O2", "wait-com", "com-set:delay:500", "com-press:apply", "no-box:500",
           "wait-com-hidden:3000")
    assert values(app, own_key) == {**DEFAULTS, "Delay": 500,
                                    **{n: 0 for n in EXT}, "Watch": 30}
    assert values(app) == {**{n: None for n in EXT}, **base}
