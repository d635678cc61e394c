#!/usr/bin/python3
"""What 100,000 accepted messages waiting in the queue cost Varnix.exe in
memory under Wine: the VmRSS of the Varnix process idle after its start,
then with the messages accepted and waiting, with Outbox 0 and Outbox 1
(VARNIX_BENCH_MEMORY_OUTBOX, default "0,1"), each in a fresh start against
the same simulated modem.

The modem answers AT+CMGF=0 but never shows the prompt for AT+CMGS, so the
prompt-driven worker gives up on one message every 5 s and the rest wait
where a slow or stuck modem would leave them. The messages arrive by DDE
execute, many Send commands per execute (varnix-bench.exe fill).

Run through `bench/run.sh memory`. Writes JSON (VARNIX_BENCH_MEMORY_JSON) and
its own section of docs/performance.md (VARNIX_BENCH_OUT; none when empty)."""
import os
import pathlib
import statistics
import sys
import time

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "bench"))

from perf import Bench, run_and_report  # noqa: E402
from harness.dde import run_client  # noqa: E402
from harness.fixtures_app import write_settings  # noqa: E402
from harness.modem import SimModem, map_com_ports, modem_ports  # noqa: E402
from harness.outbox import journal_path, kill_windows_process, windows_pids  # noqa: E402
from harness.wine import WinePrefix  # noqa: E402

CMNI = b"AT+CNMI=0, 0, 0, 0, 0\r"
MESSAGES = max(1000, int(os.environ.get("VARNIX_BENCH_MEMORY_MESSAGES", "") or 100000))
SETTINGS = [int(x) for x in
            (os.environ.get("VARNIX_BENCH_MEMORY_OUTBOX", "") or "0,1").split(",")]
# Per execute: with Outbox 1 every message is flushed to disk before the
# execute is answered, and the transaction must end well inside its time-out.
PER_EXECUTE = {0: 1000, 1: 100}
DELAY_MS = 200
TARGET_MB = 30


def status_kb(pid):
    out = {}
    for ln in pathlib.Path(f"/proc/{pid}/status").read_text().splitlines():
        k, _, v = ln.partition(":")
        if k in ("VmRSS", "VmHWM", "RssAnon", "RssFile"):
            out[k] = int(v.split()[0])
    return out


class MemoryBench(Bench):
    def start_gateway(self):
        """Starts Varnix; its Linux pid once the modem has been initialised
        (`wine` may run it under start.exe, so the pid is looked up)."""
        seen = len([c for _, c in self.modem.commands() if c == CMNI])
        self.commands.append("wine Varnix.exe &")
        self.app = self.prefix.start(self.exe)
        end = time.monotonic() + 60
        while len([c for _, c in self.modem.commands() if c == CMNI]) <= seen:
            if time.monotonic() > end or not self.app.running():
                raise RuntimeError("Varnix did not initialise the modem")
            time.sleep(0.02)
        pids = windows_pids(self.prefix, "Varnix.exe")
        if len(pids) != 1:
            raise RuntimeError(f"Varnix processes in the prefix: {pids}")
        return pids[0]

    def queue_count(self):
        out = run_client(self.prefix, self.build, "connect Varnix SMS0", "request Queue")
        req = out.of("request")
        if not req or req[0]["word"] != "ok":
            return None
        return int(bytes.fromhex(req[0]["hex"]).split(b"\r")[0].decode() or 0)

    def rss_kb(self, pid, readings=3):
        """The median of a few readings 1 s apart of VmRSS and of its two
        parts, RssAnon (the heap) and RssFile (mapped files: the program,
        Wine's DLLs), and the last VmHWM."""
        seen = []
        for _ in range(readings):
            time.sleep(1.0)
            seen.append(status_kb(pid))
        med = {k: statistics.median(m[k] for m in seen) for k in ("VmRSS", "RssAnon", "RssFile")}
        med["VmHWM"] = seen[-1]["VmHWM"]
        return med

    def one(self, outbox):
        path = journal_path(self.prefix)
        if path.exists():
            path.unlink()
        write_settings(self.prefix, self.workdir, Port=1, Bit=8, Stop=1, Parity=0,
                       Baud=9600, Delay=DELAY_MS, Dialogue=1, Outbox=outbox)
        self.commands.append(f"wine reg import: Delay={DELAY_MS} Dialogue=1 Outbox={outbox}")
        pid = self.start_gateway()
        try:
            time.sleep(2.0)
            idle = self.rss_kb(pid)
            t = time.monotonic()
            recs = self.run_client("fill", MESSAGES, PER_EXECUTE[outbox], "Varnix",
                                   timeout=3600)
            fill_s = time.monotonic() - t
            f = next(f for word, f in recs if word == "fill")
            if int(f["n"]) != MESSAGES or int(f["refused"]):
                raise RuntimeError(f"Outbox {outbox}: not all accepted: {f}")
            # The GUI thread publishes the last results after the execute's answer.
            time.sleep(2.0)
            full = self.rss_kb(pid)
            queue = self.queue_count()
            return {
                "idle_kb": idle["VmRSS"], "idle_hwm_kb": idle["VmHWM"],
                "queued_kb": full["VmRSS"], "queued_hwm_kb": full["VmHWM"],
                "growth_kb": full["VmRSS"] - idle["VmRSS"],
                "anon_growth_kb": full["RssAnon"] - idle["RssAnon"],
                "file_growth_kb": full["RssFile"] - idle["RssFile"],
                "bytes_per_message": round((full["VmRSS"] - idle["VmRSS"]) * 1024 / MESSAGES, 1),
                "queue_read": queue,
                "ended_meanwhile": MESSAGES - queue if queue is not None else None,
                "fill_s": round(fill_s, 1),
                "per_execute": PER_EXECUTE[outbox],
                "journal_bytes": path.stat().st_size if path.exists() else 0,
            }
        finally:
            kill_windows_process(self.prefix, "Varnix.exe")
            self.app.kill()
            self.prefix.wineserver_wait()

    def run(self):
        t0 = time.monotonic()
        self.prefix = WinePrefix.copy_of(os.environ["VARNIX_PREFIX_TEMPLATE"],
                                         self.workdir / "prefix")
        try:
            self.modem = SimModem.start(self.workdir / "modem")
            map_com_ports(self.prefix, modem_ports(self.modem, 1))
            self.modem.set_cmgf("ok")
            self.modem.set_cmgs(prompt="silence")
            for outbox in SETTINGS:
                self.results[f"outbox{outbox}"] = self.one(outbox)
        finally:
            if self.modem is not None:
                self.modem.stop()
            self.prefix.shutdown()
        self.results["messages"] = MESSAGES
        self.results["target_mb"] = TARGET_MB
        self.results["elapsed_s"] = round(time.monotonic() - t0, 1)
        self.results["commands"] = self.commands
        return self.results


def main():
    return run_and_report(MemoryBench, "bench-memory", "VARNIX_BENCH_MEMORY_JSON",
                          "report_memory")


if __name__ == "__main__":
    sys.exit(main())
