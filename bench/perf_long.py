#!/usr/bin/python3
"""Throughput of the two modem dialogues of Varnix.exe under Wine, in one
run: one-part messages back to back and one 5-part message, first with the
classic dialogue (Delay 2000), then with the prompt-driven one, against the
same simulated modem: "OK" to AT+CMGF=0 and the prompt each 50 ms after the
command, "+CMGS: <mr>" and "OK" 1500 ms after the PDU's Ctrl-Z.

Run through `bench/run.sh long`, which builds Varnix.exe and the DDE client
and provides the display and the template prefix. Writes its results as
JSON (VARNIX_BENCH_LONG_JSON) and rewrites its own section of
docs/performance.md (VARNIX_BENCH_OUT; none when empty).

Every figure comes from the modem's own timestamped log (CLOCK_MONOTONIC),
except the end of a message, which is the Status advise's wall-clock
millisecond as the DDE client printed it."""
import os
import pathlib
import subprocess
import sys
import time

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests" / "e2e"))
sys.path.insert(0, str(ROOT / "bench"))

from harness.dde import esc, run_client, start_client  # noqa: E402
from harness.fixtures_app import write_settings  # noqa: E402
from harness.modem import SimModem, map_com_ports, modem_ports  # noqa: E402
from harness.wine import WinePrefix  # noqa: E402
from perf import run_and_report, summary  # noqa: E402

CMNI = b"AT+CNMI=0, 0, 0, 0, 0\r"
CTRL_Z = b"\x1a"
DELAY_MS = 2000
PROMPT_S = 0.05
CMGF_S = 0.05
RESULT_S = 1.5
ONE_PART = max(3, int(os.environ.get("VARNIX_BENCH_LONG_MESSAGES", "") or 8))
NUMBER = "13800138000"
LONG_TEXT = "测" * (5 * 67)  # exactly five UCS-2 parts
CONNECT = "connect Varnix SMS0"
MODES = (("classic", 0), ("prompt", 1))


def submit(text):
    return [f"poke Num {NUMBER}", f"poke SMS {esc(text)}", "poke Send 1"]


class LongBench:
    def __init__(self, workdir, build):
        self.workdir = pathlib.Path(workdir)
        self.build = pathlib.Path(build)
        self.exe = self.build / "bin" / "Varnix.exe"
        self.results = {}
        self.commands = []

    def start_varnix(self, dialogue):
        write_settings(self.prefix, self.workdir, Port=1, Bit=8, Stop=1, Parity=0,
                       Baud=9600, Delay=DELAY_MS, Parts=5, Dialogue=dialogue)
        self.commands.append(f"wine reg import: Delay={DELAY_MS} Parts=5 Dialogue={dialogue}")
        seen = len([c for _, c in self.modem.commands() if c == CMNI])
        self.commands.append("wine Varnix.exe &")
        app = self.prefix.start(self.exe)
        end = time.monotonic() + 60
        while len([c for _, c in self.modem.commands() if c == CMNI]) <= seen:
            if time.monotonic() > end or not app.running():
                raise RuntimeError("Varnix did not initialise the modem")
            time.sleep(0.02)
        time.sleep(DELAY_MS / 1000 + 0.5)
        return app

    def stop_varnix(self, app):
        # The window's close box answers a question first; the benchmark
        # has no use for a clean end, so the process is ended by its id.
        app.kill()

    def batch(self, texts, timeout):
        """Sends the texts in one DDE conversation, so that they wait in the
        queue together; returns (modem log index before, the Status advise
        times in monotonic seconds)."""
        offset = time.time() - time.monotonic()
        start_rx = len(self.modem.received())
        watcher = start_client(self.prefix, self.build, CONNECT, "advise Status",
                               "echo ADVISED", f"waitadv {len(texts)} {int(timeout * 1000)}")
        watcher.wait_for("ADVISED")
        cmds = [c for t in texts for c in submit(t)]
        run_client(self.prefix, self.build, CONNECT, *cmds)
        out = watcher.finish(timeout + 10)
        adv = out.of("advdata")
        if len(adv) != len(texts):
            raise RuntimeError(f"{len(adv)} of {len(texts)} outcomes:\n{out.text}")
        return start_rx, [float(a["t"]) / 1000 - offset for a in adv], adv

    def reactions(self, start_rx):
        """For every command the worker wrote after the first: the time from
        the last bytes the modem sent before it to its first byte, and what
        that answer was."""
        sent = self.modem.sent()
        cmds = [(t, c) for t, c in self.modem.commands() if t >= self.t_of(start_rx)]
        out = []
        for t, c in cmds[1:]:
            before = [(ts, d) for ts, d in sent if ts < t]
            if before:
                out.append((t - before[-1][0], before[-1][1], c))
        return out

    def t_of(self, index):
        rx = self.modem.received()
        return rx[index][0] if index < len(rx) else float("inf")

    def mode(self, name, dialogue):
        app = self.start_varnix(dialogue)
        try:
            self.modem.set_cmgf("ok", delay=CMGF_S)
            self.modem.set_cmgs(prompt_delay=PROMPT_S, result_delay=RESULT_S, mr=1)
            start_rx, status, adv = self.batch(["短信 %d" % i for i in range(ONE_PART)],
                                               ONE_PART * 8 + 20)
            if any(a["hex"] != "310d0a00" for a in adv):
                raise RuntimeError(f"{name}: a one-part message failed: {adv}")
            cmds = [(t, c) for t, c in self.modem.commands() if t >= self.t_of(start_rx)]
            starts = [t for t, c in cmds if c == b"at+cmgf=0\r"]
            periods = [b - a for a, b in zip(starts, starts[1:])]
            per_minute = 60 * (len(starts) - 1) / (starts[-1] - starts[0])
            react = self.reactions(start_rx)
            one = {
                "messages": len(starts),
                "per_minute": round(per_minute, 2),
                "period_ms": summary([p * 1e3 for p in periods], 1),
                "first_byte_to_status_ms": summary(
                    [(s - t) * 1e3 for s, t in zip(status, starts)], 1),
            }
            if dialogue:
                one["reaction_ms"] = self.reaction_summary(react)

            start_rx, status, adv = self.batch([LONG_TEXT], 90)
            if adv[0]["hex"] != "310d0a00":
                raise RuntimeError(f"{name}: the 5-part message failed: {adv}")
            cmds = [(t, c) for t, c in self.modem.commands() if t >= self.t_of(start_rx)]
            pdus = [t for t, c in cmds if c.endswith(CTRL_Z)]
            cmgs = [t for t, c in cmds if c.startswith(b"at+cmgs=")]
            five = {
                "parts": len(pdus),
                "first_byte_to_status_ms": round((status[0] - cmds[0][0]) * 1e3, 1),
                "part_period_ms": summary([(b - a) * 1e3 for a, b in zip(cmgs, cmgs[1:])], 1),
            }
            if dialogue:
                react = self.reactions(start_rx)
                five["reaction_ms"] = self.reaction_summary(react)
                # The worker's own share of a part: prompt -> PDU plus the
                # result -> the next at+cmgs.
                own = []
                r_pdu = [g for g, _, c in react if c.endswith(CTRL_Z)]
                r_next = [g for g, _, c in react if c.startswith(b"at+cmgs=")]
                for a, b in zip(r_pdu, r_next):
                    own.append((a + b) * 1e3)
                five["own_per_part_ms"] = summary(own, 2)
            self.results[name] = {"one_part": one, "five_part": five}
        finally:
            self.stop_varnix(app)

    @staticmethod
    def reaction_summary(react):
        by = {}
        for gap, answer, cmd in react:
            if cmd.endswith(CTRL_Z):
                key = "prompt_to_pdu"
            elif cmd.startswith(b"at+cmgs="):
                key = "answer_to_cmgs"
            elif cmd.startswith(b"at+cmgf="):
                key = "result_to_next_message"
            else:
                key = "other"
            by.setdefault(key, []).append(gap * 1e3)
        return {k: summary(v, 2) for k, v in sorted(by.items())}

    def run(self):
        template = os.environ["VARNIX_PREFIX_TEMPLATE"]
        t0 = time.monotonic()
        self.prefix = WinePrefix.copy_of(template, self.workdir / "prefix")
        self.modem = None
        try:
            self.modem = SimModem.start(self.workdir / "modem")
            map_com_ports(self.prefix, modem_ports(self.modem, 1))
            subprocess.run(["wineserver", "-p"], env=self.prefix.env, timeout=30,
                           stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)
            for name, dialogue in MODES:
                self.mode(name, dialogue)
        finally:
            if self.modem is not None:
                self.modem.stop()
            self.prefix.shutdown()
        c, p = self.results["classic"], self.results["prompt"]
        self.results["speedup"] = round(p["one_part"]["per_minute"] / c["one_part"]["per_minute"], 2)
        self.results["modem"] = {"cmgf_ms": CMGF_S * 1e3, "prompt_ms": PROMPT_S * 1e3,
                                 "result_ms": RESULT_S * 1e3, "delay_ms": DELAY_MS}
        self.results["elapsed_s"] = round(time.monotonic() - t0, 1)
        self.results["commands"] = self.commands
        return self.results


def main():
    return run_and_report(LongBench, "bench-long", "VARNIX_BENCH_LONG_JSON", "report_long")


if __name__ == "__main__":
    sys.exit(main())
