#!/usr/bin/python3
"""How long a received message takes to reach a client of Varnix.exe under
Wine: from the moment the simulated modem stores it on its SIM until the
Inbox advise of a watching client, with Receive 5. Each message is stored
at a random moment of the listing interval, so the figures cover every
phase of it; the part that is the gateway's own (from the "AT+CMGL=4" that
found the message to the advise) is shown beside it.

Run through `bench/run.sh inbox`, which builds Varnix.exe and the DDE
client and provides the display and the template prefix. Writes JSON
(VARNIX_BENCH_INBOX_JSON) and its own section of docs/performance.md
(VARNIX_BENCH_OUT; none when empty)."""
import json
import os
import pathlib
import platform
import random
import statistics
import subprocess
import sys
import time

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests" / "e2e"))
sys.path.insert(0, str(ROOT / "bench"))

from harness.dde import ClientOutput, start_client  # noqa: E402
from harness.fixtures_app import write_settings  # noqa: E402
from harness.inbox import inbox_lines, item_text  # noqa: E402
from harness.modem import SimModem, map_com_ports, modem_ports  # noqa: E402
from harness.sms_pdu import deliver  # noqa: E402
from harness.wine import WinePrefix  # noqa: E402

RECEIVE_S = 5
MESSAGES = max(4, int(os.environ.get("VARNIX_BENCH_INBOX_MESSAGES", "") or 12))
CMGL = b"AT+CMGL=4\r"
BEGIN = "<!-- inbox:begin -->"
END = "<!-- inbox:end -->"


def summary(values):
    v = sorted(values)
    q = statistics.quantiles(v, n=4) if len(v) > 1 else [v[0]] * 3
    return {"median": round(statistics.median(v), 3), "q1": round(q[0], 3),
            "q3": round(q[2], 3), "min": round(v[0], 3), "max": round(v[-1], 3), "n": len(v)}


class InboxBench:
    def __init__(self, workdir, build):
        self.workdir = pathlib.Path(workdir)
        self.build = pathlib.Path(build)
        self.results = {}

    def advises(self):
        """[(unix seconds, lines)] of the watcher's Inbox advises so far."""
        out = ClientOutput(self.watcher.started.output().replace("\r", ""))
        return [(float(r["t"]) / 1000, inbox_lines(item_text(r["hex"], unicode=True)))
                for r in out.of("advdata") if r["item"] == "Inbox"]

    def one(self, n):
        """Stores message n; (seconds from store to advise, seconds from the
        listing that found it to the advise)."""
        text = f"bench {n}"
        self.modem.store_pdu(deliver("+8613912345678", text))
        stored_t = self.modem.store_events("stored")[-1]["t"]
        end = time.monotonic() + RECEIVE_S + 30
        while True:
            found = [t for t, lines in self.advises() if lines and lines[0].text == text]
            if found:
                break
            if time.monotonic() > end:
                raise RuntimeError(f"message {n} never reached Inbox")
            time.sleep(0.01)
        advise = found[0] - self.offset
        listing = [t for t, c in self.modem.commands() if c.upper() == CMGL and t >= stored_t]
        return advise - stored_t, advise - listing[0]

    def run(self):
        t = time.monotonic()
        self.prefix = WinePrefix.copy_of(os.environ["VARNIX_PREFIX_TEMPLATE"],
                                         self.workdir / "prefix")
        app = None
        stop = self.workdir / "watcher-stop"
        try:
            self.modem = SimModem.start(self.workdir / "modem")
            map_com_ports(self.prefix, modem_ports(self.modem, 1))
            self.modem.set_cmgf("ok")
            write_settings(self.prefix, self.workdir, Port=1, Bit=8, Stop=1, Parity=0,
                           Baud=9600, Delay=200, Dialogue=1, Receive=RECEIVE_S)
            app = self.prefix.start(self.build / "bin" / "Varnix.exe")
            end = time.monotonic() + 120
            while not [c for _, c in self.modem.commands() if c.upper() == CMGL]:
                if time.monotonic() > end or not app.running():
                    raise RuntimeError("Varnix never listed the SIM")
                time.sleep(0.05)
            self.watcher = start_client(self.prefix, self.build, "connect Varnix SMS0",
                                        "advise Inbox hot unicode", "echo ADVISED",
                                        f"waitfile {stop} 3600000")
            if not self.watcher.started.wait_for_output("ADVISED", 60):
                raise RuntimeError(self.watcher.started.output())
            # The modem's monotonic clock against the client's wall clock.
            self.offset = time.time() - time.monotonic()
            rng = random.Random(13)
            total, own = [], []
            for n in range(MESSAGES):
                time.sleep(rng.uniform(0, RECEIVE_S))
                a, b = self.one(n)
                total.append(a)
                own.append(b)
            self.results["store_to_advise_s"] = summary(total)
            self.results["listing_to_advise_ms"] = summary([1000 * x for x in own])
        finally:
            stop.write_text("")
            if app is not None:
                app.kill()
            self.modem.stop()
            self.prefix.shutdown()
        self.results["receive_s"] = RECEIVE_S
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
    a, b = r["store_to_advise_s"], r["listing_to_advise_ms"]
    target = r["receive_s"] + 0.1
    ok = a["max"] <= target
    return "\n".join([
        BEGIN,
        "## Receiving",
        "",
        f"Measured by `bench/run.sh inbox` on {r['machine']['date']} ({r['machine']['wine']}, "
        f"{r['machine']['nproc']} cores, load {r['machine']['load_before']:.2f} before), "
        f"{r['elapsed_s']} s, Receive {r['receive_s']}, "
        "prompt-driven dialogue; each message stored at a random moment of the interval.",
        "",
        "| Figure | Target | Result |",
        "|---|---|---|",
        f"| Stored on the SIM until the `Inbox` advise | ≤ {target:.1f} s (the interval + 100 ms) | "
        f"median {a['median']:.2f} s, max {a['max']:.2f} s (min {a['min']:.2f}, n={a['n']}): "
        f"{'met' if ok else '**MISSED**'} |",
        f"| The `AT+CMGL=4` that found it until the advise | — | median {b['median']:.0f} ms "
        f"(IQR {b['q1']:.0f}–{b['q3']:.0f}, max {b['max']:.0f}) |",
        END,
    ])


def main():
    build = os.environ["VARNIX_BENCH_BUILD"]
    workdir = pathlib.Path(os.environ.get("VARNIX_RUN_DIR", "/tmp")) / "bench-inbox"
    workdir.mkdir(parents=True, exist_ok=True)
    r = InboxBench(workdir, build).run()
    out_json = os.environ.get("VARNIX_BENCH_INBOX_JSON")
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
        from perf import keep_and_glance
        keep_and_glance(md, "inbox", r)


if __name__ == "__main__":
    main()
