#!/usr/bin/python3
"""What the outbox costs Varnix.exe under Wine, in one run:

- the round trip of a "Send" poke that queues a message (what a client
  waits for), with Outbox 0 and with Outbox 1, where the message is
  journaled and flushed before the poke is answered;
- the start-up with 10,000 messages waiting in the journal, against the
  same start with an empty one: from the program's start until `Queue`
  can be read, and what it reads.

Run through `bench/run.sh outbox`, which builds Varnix.exe and the DDE
client and provides the display and the template prefix. Writes JSON
(VARNIX_BENCH_OUTBOX_JSON) and its own section of docs/performance.md
(VARNIX_BENCH_OUT; none when empty)."""
import json
import os
import pathlib
import platform
import statistics
import subprocess
import sys
import time

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests" / "e2e"))

from harness.dde import run_client  # noqa: E402
from harness.fixtures_app import write_settings  # noqa: E402
from harness.modem import SimModem, map_com_ports, modem_ports  # noqa: E402
from harness.outbox import accepted, journal_bytes, journal_path  # noqa: E402
from harness.wine import WinePrefix  # noqa: E402

CMNI = b"AT+CNMI=0, 0, 0, 0, 0\r"
CONNECT = "connect Varnix SMS0"
POKES = max(20, int(os.environ.get("VARNIX_BENCH_OUTBOX_POKES", "") or 200))
RECOVER = 10000
DELAY_MS = 200
BEGIN = "<!-- outbox:begin -->"
END = "<!-- outbox:end -->"


def summary(values):
    v = sorted(values)
    q = statistics.quantiles(v, n=4) if len(v) > 1 else [v[0]] * 3
    return {"median": round(statistics.median(v), 3), "q1": round(q[0], 3),
            "q3": round(q[2], 3), "min": round(v[0], 3), "max": round(v[-1], 3), "n": len(v)}


class OutboxBench:
    def __init__(self, workdir, build):
        self.workdir = pathlib.Path(workdir)
        self.build = pathlib.Path(build)
        self.exe = self.build / "bin" / "Varnix.exe"
        self.results = {}

    def start(self, outbox, wait_modem=True):
        write_settings(self.prefix, self.workdir, Port=1, Bit=8, Stop=1, Parity=0,
                       Baud=9600, Delay=DELAY_MS, Dialogue=1, Outbox=outbox)
        seen = len([c for _, c in self.modem.commands() if c == CMNI])
        t0 = time.monotonic()
        app = self.prefix.start(self.exe)
        end = t0 + 120
        while wait_modem and len([c for _, c in self.modem.commands() if c == CMNI]) <= seen:
            if time.monotonic() > end or not app.running():
                raise RuntimeError("Varnix did not initialise the modem")
            time.sleep(0.01)
        return app, t0

    def send_pokes(self):
        """The Send poke's round trip: the times between the answers of
        consecutive Send pokes of one client, nothing else in between."""
        cmds = ["poke Num 13800138000", "poke SMS bench"] + ["poke Send 1"] * POKES
        out = run_client(self.prefix, self.build, CONNECT, *cmds, timeout=600)
        pokes = [p for p in out.of("poke") if p["item"] == "Send"]
        if len(pokes) != POKES or any(p["word"] != "ack" for p in pokes):
            raise RuntimeError(f"Send pokes not all answered:\n{out.text[-2000:]}")
        times = [float(p["t"]) for p in pokes]
        return [b - a for a, b in zip(times, times[1:])]

    def roundtrip(self):
        for outbox in (0, 1):
            path = journal_path(self.prefix)
            if path.exists():
                path.unlink()
            app, _ = self.start(outbox)
            time.sleep(DELAY_MS / 1000 + 0.5)
            self.results[f"send_poke_ms_outbox{outbox}"] = summary(self.send_pokes())
            app.kill()
            self.prefix.wineserver_wait()
        d = (self.results["send_poke_ms_outbox1"]["median"] -
             self.results["send_poke_ms_outbox0"]["median"])
        self.results["outbox_extra_ms"] = round(d, 3)

    def queue_readable(self, t0, expect):
        """Seconds from the start until Queue reads `expect`."""
        end = t0 + 120
        while time.monotonic() < end:
            out = run_client(self.prefix, self.build, CONNECT, "request Queue")
            req = out.of("request")
            if req and req[0]["word"] == "ok":
                text = bytes.fromhex(req[0]["hex"]).split(b"\r")[0].decode()
                if text == str(expect):
                    return time.monotonic() - t0
            time.sleep(0.05)
        raise RuntimeError(f"Queue never read {expect}")

    def recovery(self):
        path = journal_path(self.prefix)
        path.parent.mkdir(parents=True, exist_ok=True)
        # A modem that never shows its prompt keeps the queue as it is.
        self.modem.set_cmgs(prompts=["silence"] * (RECOVER + 10))
        for label, count in (("empty", 0), ("full", RECOVER)):
            path.write_bytes(journal_bytes(
                [accepted(i, "13800138000", f"waiting {i}") for i in range(1, count + 1)]))
            app, t0 = self.start(1, wait_modem=False)
            # The one message under way when Queue is read is still counted.
            self.results[f"start_to_queue_s_{label}"] = round(self.queue_readable(t0, count), 3)
            app.kill()
            self.prefix.wineserver_wait()
        self.results["recovery_of_10000_s"] = round(
            self.results["start_to_queue_s_full"] - self.results["start_to_queue_s_empty"], 3)
        self.results["journal_bytes"] = path.stat().st_size

    def run(self):
        t = time.monotonic()
        self.prefix = WinePrefix.copy_of(os.environ["VARNIX_PREFIX_TEMPLATE"],
                                         self.workdir / "prefix")
        try:
            self.modem = SimModem.start(self.workdir / "modem")
            map_com_ports(self.prefix, modem_ports(self.modem, 1))
            self.modem.set_cmgf("ok")
            self.modem.set_cmgs(prompt_delay=0.02, result_delay=0.05)
            self.roundtrip()
            self.recovery()
        finally:
            self.modem.stop()
            self.prefix.shutdown()
        self.results["elapsed_s"] = round(time.monotonic() - t, 1)
        self.results["machine"] = {
            "date": time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime()),
            "nproc": os.cpu_count(),
            "load_before": os.getloadavg()[0],
            "wine": subprocess.run(["wine", "--version"], capture_output=True,
                                   text=True).stdout.strip(),
            "kernel": platform.release(),
        }
        return self.results


def render(r):
    a, b = r["send_poke_ms_outbox0"], r["send_poke_ms_outbox1"]
    ok = r["outbox_extra_ms"] <= 2.0
    f = lambda s: (f"{s['median']:.2f} ms (IQR {s['q1']:.2f}–{s['q3']:.2f}, "  # noqa: E731
                   f"min {s['min']:.2f}, max {s['max']:.2f}, n={s['n']})")
    return "\n".join([
        BEGIN,
        "## The outbox",
        "",
        f"Measured by `bench/run.sh outbox` on {r['machine']['date']} ({r['machine']['wine']}, "
        f"{r['machine']['nproc']} cores), {r['elapsed_s']} s, prompt-driven dialogue, "
        "both settings in the same run against the same modem.",
        "",
        "| Figure | Target | Outbox 0 | Outbox 1 |",
        "|---|---|---|---|",
        f"| A Send poke that queues a message, answer to answer | — | {f(a)} | {f(b)} |",
        f"| What the journal adds to a Send poke (medians) | ≤ 2 ms | — | "
        f"{r['outbox_extra_ms']:.2f} ms: {'met' if ok else '**MISSED**'} |",
        f"| Start until `Queue` can be read, empty journal / {RECOVER} waiting | — | "
        f"{r['start_to_queue_s_empty']:.2f} s | {r['start_to_queue_s_full']:.2f} s |",
        f"| Recovering {RECOVER} journaled messages ({r['journal_bytes']} bytes) at start-up | — | — | "
        f"{r['recovery_of_10000_s']:.2f} s |",
        "",
        "The journal's own costs, natively (`bench/journal_bench`): an accepted message "
        "appended and flushed, and a load of 10,000, see the program's output.",
        END,
    ])


def main():
    build = os.environ["VARNIX_BENCH_BUILD"]
    workdir = pathlib.Path(os.environ.get("VARNIX_RUN_DIR", "/tmp")) / "bench-outbox"
    workdir.mkdir(parents=True, exist_ok=True)
    r = OutboxBench(workdir, build).run()
    out_json = os.environ.get("VARNIX_BENCH_OUTBOX_JSON")
    if out_json:
        pathlib.Path(out_json).write_text(json.dumps(r, indent=2))
    print(json.dumps(r, indent=2))
    md = os.environ.get("VARNIX_BENCH_OUT")
    if md:
        p = pathlib.Path(md)
        text = p.read_text()
        section = render(r)
        if BEGIN in text and END in text:
            text = text[:text.index(BEGIN)] + section + text[text.index(END) + len(END):]
        else:
            text = text.rstrip("\n") + "\n\n" + section + "\n"
        p.write_text(text)


if __name__ == "__main__":
    main()
