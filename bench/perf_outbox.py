#!/usr/bin/python3
"""What the outbox costs Varnix.exe under Wine, in one run:

- the round trip of a "Send" poke that queues a message (what a client
  waits for), with Outbox 0 and with Outbox 1, where the message is
  journaled and flushed before the poke is answered; the two settings take
  turns over several rounds, each round a fresh start of either; once with
  the worker waiting for the modem, once with it sending (and journaling
  each outcome) while the pokes arrive;
- the start-up with 10,000 messages waiting in the journal, against the
  same start with an empty one: from the program's start until `Queue`
  can be read and reads what the journal holds, several starts of each,
  taking turns.

Run through `bench/run.sh outbox`, which builds Varnix.exe and the
benchmark client and provides the display and the template prefix. Writes
JSON (VARNIX_BENCH_OUTBOX_JSON) and its own section of docs/performance.md
(VARNIX_BENCH_OUT; none when empty)."""
import os
import pathlib
import statistics
import sys
import time

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "bench"))

from perf import Bench, run_and_report, summary  # noqa: E402
from harness.fixtures_app import write_settings  # noqa: E402
from harness.modem import SimModem, map_com_ports, modem_ports  # noqa: E402
from harness.outbox import (accepted, journal_bytes, journal_path,  # noqa: E402
                            kill_windows_process, windows_pids)
from harness.wine import WinePrefix  # noqa: E402

CMNI = b"AT+CNMI=0, 0, 0, 0, 0\r"
POKES = max(20, int(os.environ.get("VARNIX_BENCH_OUTBOX_POKES", "") or 100))
ROUNDS = max(2, int(os.environ.get("VARNIX_BENCH_OUTBOX_ROUNDS", "") or 5))
RECOVER = 10000
# While the worker sends, the pokes come this far apart, so that they meet
# the worker's own writes to the journal (a message every 100 ms or so).
BUSY_GAP_MS = 20
DELAY_MS = 200


def turns(rounds, a, b):
    """a, b, b, a, a, b, ...: each setting first in half of the rounds."""
    out = []
    for r in range(rounds):
        out += [a, b] if r % 2 == 0 else [b, a]
    return out


class OutboxBench(Bench):
    def settings(self, outbox):
        write_settings(self.prefix, self.workdir, Port=1, Bit=8, Stop=1, Parity=0,
                       Baud=9600, Delay=DELAY_MS, Dialogue=1, Outbox=outbox)
        self.commands.append(f"wine reg import: Delay={DELAY_MS} Dialogue=1 Outbox={outbox}")

    def stop_gateway(self):
        kill_windows_process(self.prefix, "Varnix.exe")
        if self.app is not None:
            self.app.kill()
            self.app = None
        self.prefix.wineserver_wait()

    def poke_round(self, outbox, gap_ms=0):
        """The median poke-to-answer time of POKES Send pokes in one fresh
        start with `outbox`, in ms, and every sample."""
        path = journal_path(self.prefix)
        if path.exists():
            path.unlink()
        self.settings(outbox)
        seen = len([c for _, c in self.modem.commands() if c == CMNI])
        self.commands.append("wine Varnix.exe &")
        self.app = self.prefix.start(self.exe)
        end = time.monotonic() + 60
        while len([c for _, c in self.modem.commands() if c == CMNI]) <= seen:
            if time.monotonic() > end or not self.app.running():
                raise RuntimeError("Varnix did not initialise the modem")
            time.sleep(0.02)
        time.sleep(DELAY_MS / 1000 + 0.5)
        try:
            recs = self.run_client("burst", POKES, "Varnix", "13800138000", gap_ms)
        finally:
            self.stop_gateway()
        f = next(f for word, f in recs if word == "burst")
        if int(f["acked"]) != POKES:
            raise RuntimeError(f"Outbox {outbox}: {f['acked']} of {POKES} pokes acknowledged")
        return [int(x) / self.freq * 1e3 for x in f["lat"].split(",")]

    def roundtrip(self, busy):
        """The pokes of both settings over ROUNDS rounds; `busy`: while the
        worker sends (the modem prompts after 20 ms and answers 50 ms after
        the PDU) the messages poked before, the pokes BUSY_GAP_MS apart;
        else back to back while it waits for a prompt that never comes."""
        if busy:
            self.modem.set_cmgs(prompt_delay=0.02, result_delay=0.05)
        samples = {0: [], 1: []}
        per_round = {0: [], 1: []}
        order = turns(ROUNDS, 0, 1)
        for outbox in order:
            lat = self.poke_round(outbox, BUSY_GAP_MS if busy else 0)
            samples[outbox] += lat
            per_round[outbox].append(statistics.median(lat))
        self.modem.set_cmgs(prompt="silence")
        diffs = [b - a for a, b in zip(per_round[0], per_round[1])]
        r = self.results
        tag = "_busy" if busy else ""
        r["poke_order"] = order
        for o in (0, 1):
            r[f"send_poke_ms_outbox{o}{tag}"] = summary(samples[o], 3)
            r[f"round_medians_ms_outbox{o}{tag}"] = [round(x, 3) for x in per_round[o]]
        r[f"outbox_extra_ms{tag}"] = summary(diffs, 3)

    def start_once(self, count):
        """Seconds from CreateProcess until Queue reads `count`, and until the
        service answered at all, from one start with the journal as written."""
        win_exe = "Z:" + str(self.exe).replace("/", "\\")
        try:
            recs = self.run_client("startq", win_exe, count, 120000, timeout=180)
        finally:
            self.stop_gateway()
        f = next(f for word, f in recs if word == "startq")
        return int(f["read"]) / self.freq, int(f["connected"]) / self.freq

    def recovery(self):
        path = journal_path(self.prefix)
        path.parent.mkdir(parents=True, exist_ok=True)
        full = journal_bytes([accepted(i, "13800138000", f"waiting {i}")
                              for i in range(1, RECOVER + 1)])
        empty = journal_bytes([])
        self.settings(1)
        read = {0: [], RECOVER: []}
        connected = {0: [], RECOVER: []}
        order = turns(ROUNDS, 0, RECOVER)
        for count in order:
            # Written afresh for every start: the last start has appended to it.
            path.write_bytes(full if count else empty)
            self.commands.append(f"write the journal: {count} accepted messages")
            a, b = self.start_once(count)
            read[count].append(a)
            connected[count].append(b)
        r = self.results
        r["start_order"] = order
        r["journal_bytes"] = len(full)
        for label, count in (("empty", 0), ("full", RECOVER)):
            r[f"start_to_queue_s_{label}"] = summary(read[count], 3)
            r[f"start_to_connect_s_{label}"] = summary(connected[count], 3)
        r["recovery_of_10000_s"] = round(r["start_to_queue_s_full"]["median"] -
                                         r["start_to_queue_s_empty"]["median"], 3)

    def run(self):
        t = time.monotonic()
        self.prefix = WinePrefix.copy_of(os.environ["VARNIX_PREFIX_TEMPLATE"],
                                         self.workdir / "prefix")
        try:
            self.modem = SimModem.start(self.workdir / "modem")
            map_com_ports(self.prefix, modem_ports(self.modem, 1))
            self.modem.set_cmgf("ok")
            # A modem that never shows its prompt keeps the worker waiting
            # and off the disk while the pokes are timed, and keeps the
            # recovered queue as it is.
            self.modem.set_cmgs(prompt="silence")
            self.roundtrip(busy=False)
            self.roundtrip(busy=True)
            self.recovery()
        finally:
            if windows_pids(self.prefix, "Varnix.exe"):
                kill_windows_process(self.prefix, "Varnix.exe")
            self.modem.stop()
            self.prefix.shutdown()
        self.results["rounds"] = ROUNDS
        self.results["pokes"] = POKES
        self.results["recover"] = RECOVER
        self.results["elapsed_s"] = round(time.monotonic() - t, 1)
        self.results["commands"] = self.commands
        return self.results


def main():
    return run_and_report(OutboxBench, "bench-outbox", "VARNIX_BENCH_OUTBOX_JSON",
                          "report_outbox")


if __name__ == "__main__":
    sys.exit(main())
