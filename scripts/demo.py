"""The main job, end to end: Varnix.exe under Wine with a simulated GSM
modem on COM1, one Chinese message sent by varnix-send.exe, and what
happened at each step. Run through scripts/demo.sh, which provides the
display and the Wine prefix template."""
import os
import pathlib
import sys
import tempfile
import time

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests" / "e2e"))

import gammu  # noqa: E402  Debian's python3-gammu: an independent decoder

from harness.fixtures_app import App  # noqa: E402
from harness.modem import SimModem, map_com_ports  # noqa: E402
from harness.dde import send_exe  # noqa: E402
from harness.wine import WinePrefix  # noqa: E402

NUMBER = "13800138000"
TEXT = "你好，这是 Varnix 发来的短信。"


def step(n, text):
    print(f"\n[{n}] {text}", flush=True)


def show(t0, when, data):
    print(f"      +{when - t0:6.3f} s  {data!r}", flush=True)


def main():
    win_build = pathlib.Path(os.environ["VARNIX_WIN_BUILD"])
    work = pathlib.Path(tempfile.mkdtemp(prefix="varnix-demo.",
                                         dir=os.environ["VARNIX_RUN_DIR"]))
    prefix = WinePrefix.copy_of(os.environ["VARNIX_PREFIX_TEMPLATE"], work / "prefix")
    modem = None
    app = None
    try:
        step(1, "A simulated GSM modem on a pty; COM1 of the Wine prefix leads to it")
        modem = SimModem.start(work / "modem")
        modem.set_reply("cmgs")
        absent = work / "no-such-device"
        map_com_ports(prefix, {n: (modem.link if n == 1 else absent) for n in range(1, 10)})
        print(f"      COM1 -> {modem.link}")

        step(2, "Varnix.exe starts (first start: the default settings, Delay 2000 ms)")
        app = App(prefix, win_build, work / "app")
        t0 = time.monotonic()
        app.start()
        app.wait_dde(60)
        app.wait_started(60000)
        print("      DDE service \"Varnix\", topic \"SMS0\" answers; status bar:",
              app.ui("status")["panel0"])
        print("      modem initialisation received:")
        for when, cmd in modem.commands():
            show(t0, when, cmd)

        step(3, f"varnix-send.exe {NUMBER} \"{TEXT}\"")
        t_send = time.monotonic()
        n_before = len(modem.commands())
        code, out = prefix.run(send_exe(win_build), NUMBER, TEXT, timeout=90)
        print(f"      varnix-send printed {out.strip()!r} and exited with {code}"
              f" after {time.monotonic() - t_send:.1f} s")

        step(4, "What the modem received for the message")
        cmds = modem.commands()[n_before:]
        for when, cmd in cmds:
            show(t0, when, cmd)
        pdu = next((c for _, c in cmds if c.endswith(b"\x1a")), None)
        if pdu is None:
            print("      no PDU arrived")
            return 1

        step(5, "The PDU decoded by an independent decoder (python3-gammu)")
        sms = gammu.DecodePDU(bytes.fromhex(pdu.rstrip(b"\x1a").decode()), SMSC=True)
        print(f"      number: {sms['Number']}")
        print(f"      text:   {sms['Text']}")
        print(f"      coding: {sms.get('Coding')}")

        step(6, "The outcome varnix-send read from the gateway")
        # varnix-send prints the message's id, then each state it sees:
        # "id 1", "queued", "sent <message reference>".
        lines = out.replace("\r", "").strip().splitlines()
        ok = (code == 0 and len(lines) >= 2 and lines[0].startswith("id ")
              and lines[-1].split(" ")[0] == "sent"
              and sms["Number"] == NUMBER and sms["Text"] == TEXT)
        print(f"      {lines[0]}, ended {lines[-1]!r}: the modem answered +CMGS, the message"
              " was sent" if ok else f"      unexpected outcome: {lines!r}, exit {code}")

        step(7, "Varnix closes (\"确认退出 SMS?\" answered with OK)")
        t_close = time.monotonic()
        app.ui("menu:X1", "answer:OK")
        took = app.wait_exit(20)
        print(f"      process ended {took:.2f} s after the close" if took is not None
              else f"      still running after {time.monotonic() - t_close:.0f} s")
        return 0 if ok and took is not None else 1
    finally:
        if app is not None and app.proc is not None:
            app.proc.kill()
        if modem is not None:
            modem.stop()
        prefix.shutdown()


if __name__ == "__main__":
    sys.exit(main())
