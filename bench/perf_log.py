#!/usr/bin/python3
"""What the log costs the prompt-driven worker: its own time per part of a
5-part message (the answer before its at+cmgs -> at+cmgs, plus prompt ->
PDU), with Log 7 against Log 0, in one run against the same simulated
modem as bench/perf_long.py. The two settings take turns, so that a change
of the machine's load falls on both.

Run through `bench/run.sh log`. Writes JSON (VARNIX_BENCH_LOG_JSON) and its
own section of docs/performance.md (VARNIX_BENCH_OUT; none when empty)."""
import os
import pathlib
import subprocess
import sys
import time

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "bench"))

from perf import run_and_report, summary  # noqa: E402
from perf_long import (CMGF_S, CMNI, CTRL_Z, DELAY_MS, LONG_TEXT, PROMPT_S,  # noqa: E402
                       RESULT_S, LongBench)
from harness.fixtures_app import write_settings  # noqa: E402
from harness.modem import SimModem, map_com_ports, modem_ports  # noqa: E402
from harness.wine import WinePrefix  # noqa: E402

ROUNDS = max(1, int(os.environ.get("VARNIX_BENCH_LOG_ROUNDS", "") or 3))
LOGS = (0, 7)


class LogBench(LongBench):
    def start_logged(self, log):
        write_settings(self.prefix, self.workdir, Port=1, Bit=8, Stop=1, Parity=0,
                       Baud=9600, Delay=DELAY_MS, Parts=5, Dialogue=1, Log=log)
        self.commands.append(f"wine reg import: Delay={DELAY_MS} Parts=5 Dialogue=1 Log={log}")
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

    def own_times(self, log):
        app = self.start_logged(log)
        try:
            self.modem.set_cmgf("ok", delay=CMGF_S)
            self.modem.set_cmgs(prompt_delay=PROMPT_S, result_delay=RESULT_S, mr=1)
            start_rx, _, adv = self.batch([LONG_TEXT], 90)
            if adv[0]["hex"] != "310d0a00":
                raise RuntimeError(f"Log {log}: the 5-part message failed: {adv}")
            react = self.reactions(start_rx)
            r_pdu = [g for g, _, c in react if c.endswith(CTRL_Z)]
            r_next = [g for g, _, c in react if c.startswith(b"at+cmgs=")]
            return [(a + b) * 1e3 for a, b in zip(r_pdu, r_next)]
        finally:
            self.stop_varnix(app)

    def run(self):
        t0 = time.monotonic()
        self.prefix = WinePrefix.copy_of(os.environ["VARNIX_PREFIX_TEMPLATE"],
                                         self.workdir / "prefix")
        self.modem = None
        own = {log: [] for log in LOGS}
        try:
            self.modem = SimModem.start(self.workdir / "modem")
            map_com_ports(self.prefix, modem_ports(self.modem, 1))
            subprocess.run(["wineserver", "-p"], env=self.prefix.env, timeout=30,
                           stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)
            for _ in range(ROUNDS):
                for log in LOGS:
                    own[log] += self.own_times(log)
        finally:
            if self.modem is not None:
                self.modem.stop()
            self.prefix.shutdown()
        r = self.results
        for log in LOGS:
            r[f"log{log}"] = summary(own[log], 2)
        r["extra_ms"] = round(r["log7"]["median"] - r["log0"]["median"], 2)
        r["rounds"] = ROUNDS
        r["modem"] = {"cmgf_ms": CMGF_S * 1e3, "prompt_ms": PROMPT_S * 1e3,
                      "result_ms": RESULT_S * 1e3, "delay_ms": DELAY_MS}
        r["elapsed_s"] = round(time.monotonic() - t0, 1)
        r["commands"] = self.commands
        return r


def main():
    return run_and_report(LogBench, "bench-log", "VARNIX_BENCH_LOG_JSON", "report_log")


if __name__ == "__main__":
    sys.exit(main())
