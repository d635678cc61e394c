"""The send worker (SendWorker) over the real Win32 port under Wine,
against the simulated modem: the bytes of the dialogue, its pauses, the PDU
as an independent decoder reads it, and the status for the modem's answer.
The Windows side is tests/e2e/port/worker_probe.exe."""
import pathlib

import gammu

DELAY_MS = 300
NUMBER = "12345678901"
TEXT = "你好"
LOCALE = {"LANG": "zh_CN.UTF-8", "LC_ALL": "zh_CN.UTF-8"}  # ANSI code page 936


def exe(win_build, name):
    path = pathlib.Path(win_build) / "bin" / name
    assert path.is_file(), f"{name} not built in {win_build}"
    return path


def run_worker(modem, win_build, *entries):
    code, out = modem.prefix.run(exe(win_build, "worker_probe.exe"), DELAY_MS, *entries,
                                 timeout=60 * len(entries), env=LOCALE)
    lines = out.replace("\r", "").splitlines()
    assert code == 0 and lines[-1] == f"end {len(entries)}", out
    assert lines[0] == "acp 936" and lines[1] == "open 1", out
    sent = [bytes.fromhex(x.split()[1]) for x in lines if x.startswith("entry ")]
    done = [x.split()[1] if len(x.split()) > 1 else "" for x in lines if x.startswith("done")]
    return sent, done


def dialogues(modem):
    """The received commands grouped per message: [(t, cmd)] * 3 each."""
    cmds = modem.commands()
    assert len(cmds) % 3 == 0, cmds
    return [cmds[i:i + 3] for i in range(0, len(cmds), 3)]


def check_dialogue(dialogue, number, text):
    (t1, c1), (t2, c2), (t3, c3) = dialogue
    assert c1 == b"at+cmgf=0\r"
    assert c2.startswith(b"at+cmgs=") and c2.endswith(b"\r")
    assert c3.endswith(b"\x1a")
    pdu = bytes.fromhex(c3[:-1].decode("ascii"))
    assert int(c2[8:-1]) == len(pdu) - 1  # everything after the SMSC length
    # The fixed pauses after the first two commands.
    assert 0.9 <= t2 - t1 <= 2.0, t2 - t1
    assert 0.9 <= t3 - t2 <= 2.0, t3 - t2
    sms = gammu.DecodePDU(pdu, SMSC=True)
    assert sms["Number"] == number
    assert sms["Text"] == text
    assert sms["Coding"] == "Unicode_No_Compression"
    return c2, pdu


def test_worker_sends_pdu_and_reports_cmgs(modem, win_build):
    modem.set_reply("cmgs")
    sent, done = run_worker(modem, win_build, f"{NUMBER},{TEXT}")
    # DDE clients hand over text in the ANSI code page: GBK here.
    assert sent == [f"{NUMBER},".encode() + TEXT.encode("gbk")]
    assert done == ["1"]
    [dialogue] = dialogues(modem)
    c2, pdu = check_dialogue(dialogue, NUMBER, TEXT)
    assert c2 == b"at+cmgs=18\r"
    # Address length is the digit count (11 = 0B); U+4F60 U+597D as UCS-2.
    assert pdu.hex().upper() == "0011000BC12143658709F10008AA044F60597D"


def test_worker_reports_error_reply_and_goes_on(modem, win_build):
    modem.set_reply("cms_error")
    sent, done = run_worker(modem, win_build, f"+{NUMBER},AB", "10086,第二条")
    assert done == ["0", "0"]
    first, second = dialogues(modem)
    _, pdu = check_dialogue(first, "+" + NUMBER, "AB")
    assert pdu.hex().upper().startswith("0011000B91")  # leading "+": international
    check_dialogue(second, "10086", "第二条")
    # The second message follows the first one's report without an idle wait:
    # its first command comes within the failure pause plus a margin after
    # the first PDU went out.
    assert second[0][0] - first[2][0] < DELAY_MS / 1000 + 1.0 + 1.5
