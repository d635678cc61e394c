#!/usr/bin/python3
"""The soak: the real Varnix.exe under Wine with every capability switched
on, ten clients sending through pokes and execute commands, messages and
delivery reports coming in, and a modem that misbehaves (unsolicited lines
inside dialogues, replies in pieces, temporary and permanent errors, prompts
that never come, one unplug), with one kill of the gateway and a restart
in the middle. At the end it judges what every witness saw: the clients,
the Result and Inbox items, the journal, the log, the inbox log and the
modem.

    tests/soak/run.sh [short|full]        (builds, starts Xvfb and Wine)
    soak.py --profile full --out summary.json      (inside that environment)

Exit 0 when every check held; the summary (JSON) has the figures.
"""
import argparse
import json
import os
import pathlib
import random
import shutil
import sys
import threading
import time

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "e2e"))
sys.path.insert(0, str(HERE))
sys.dont_write_bytecode = True

import plan  # noqa: E402
from checks import JournalTail, Memory, Verdict  # noqa: E402
from clients import Sender, Server, Watcher  # noqa: E402
from harness.fixtures_app import App  # noqa: E402
from harness.modem import SimModem, map_com_ports, modem_ports  # noqa: E402
from harness.outbox import journal_path, windows_pids, kill_windows_process  # noqa: E402
from harness.sms_pdu import deliver  # noqa: E402
from harness.wine import WinePrefix  # noqa: E402
import judge  # noqa: E402

PROFILES = {
    # clients, messages per client, seconds the sending is spread over,
    # incoming messages, unplug seconds, prompts that never come
    "full": dict(clients=10, per_client=200, window=400, incoming=100, unplug=15, silences=2,
                 drain=240, limit=600),
    "short": dict(clients=10, per_client=10, window=30, incoming=8, unplug=6, silences=0,
                  drain=60, limit=120),
}
SETTINGS = dict(Port=1, Bit=8, Stop=1, Parity=0, Baud=9600, Delay=300, Parts=5, Alphabet=1,
                Dialogue=1, Outbox=1, Retries=3, Watch=10, Receive=5, Report=1, Log=7)


def env_path(name):
    value = os.environ.get(name)
    if not value:
        sys.exit(f"soak: {name} is not set: run it through tests/soak/run.sh")
    return pathlib.Path(value)


class Soak:
    def __init__(self, profile, seed, workdir):
        self.p = PROFILES[profile]
        self.profile, self.seed = profile, seed
        self.workdir = workdir
        self.win_build = env_path("VARNIX_WIN_BUILD")
        self.prefix = WinePrefix.copy_of(env_path("VARNIX_PREFIX_TEMPLATE"), workdir / "prefix")
        self.modem = SimModem.start(workdir / "modem")
        map_com_ports(self.prefix, modem_ports(self.modem, 1))
        self.app = App(self.prefix, self.win_build, workdir / "app")
        self.server = Server()
        self.watchers, self.events = [], []
        self.t0 = time.monotonic()
        self.deadline = self.t0 + self.p["limit"]

    def note(self, what):
        self.events.append((round(time.monotonic() - self.t0, 1), what))
        print(f"soak: {self.events[-1][0]:7.1f} s  {what}", flush=True)

    def start_gateway(self):
        self.app.start()
        self.app.wait_started(60000)
        self.watchers.append(Watcher(self.prefix, self.win_build, self.workdir,
                                     len(self.watchers)))
        self.server.up.set()

    def pid(self):
        pids = windows_pids(self.prefix, "Varnix.exe")
        return pids[0] if len(pids) == 1 else None

    def accepted(self):
        return sum(len(s.accepted) for s in self.senders)

    def wait_until(self, cond, timeout, what):
        end = time.monotonic() + timeout
        while not cond():
            if time.monotonic() > end:
                raise RuntimeError(f"not within {timeout} s: {what}")
            time.sleep(0.2)

    def inject(self, items, stop):
        """Stores the incoming messages every 2-4 s, parts 0.3 s apart."""
        rng = random.Random(self.seed + 9)
        for item in items:
            if stop.wait(rng.uniform(2.0, 4.0)):
                return
            for k, pdu in enumerate(item.pdus):
                self.modem.store_pdu_after(0.3 * k, pdu, notify=item.notify)
            self.injected.append(item)

    def run(self):
        p = self.p
        self.messages = plan.messages(self.seed, p["clients"], p["per_client"])
        total_parts = sum(m.parts for ms in self.messages for m in ms)
        self.modem._call(op="set", **plan.modem_faults(self.seed, total_parts * 2 + 200,
                                                       p["silences"]))
        self.modem._call(op="set", reports=plan.reports(self.seed, total_parts * 2 + 200))
        self.app.write_settings(**SETTINGS)
        self.tail = JournalTail(journal_path(self.prefix))
        self.tail.start()
        self.memory = Memory(self.pid)
        self.memory.start()
        self.start_gateway()
        self.note("gateway up")

        rng = random.Random(self.seed + 5)
        groups = max(1, int(p["per_client"] * 0.85))
        mean_ms = max(20, int(p["window"] * 1000 / groups) - 250)
        self.senders = [Sender(c, self.prefix, self.win_build, self.messages[c], self.workdir,
                               self.server, lambda g: int(mean_ms * rng.uniform(0.3, 1.7)),
                               deadline=self.deadline)
                        for c in range(p["clients"])]
        self.injected, stop_injecting = [], threading.Event()
        incoming = plan.incoming(self.seed, p["incoming"], lambda s, t, c, cc: deliver(
            s, t, coding=c, concat=cc))
        injector = threading.Thread(target=self.inject, args=(incoming, stop_injecting),
                                    daemon=True)
        for s in self.senders:
            s.start()
        injector.start()
        want = p["clients"] * p["per_client"]

        self.wait_until(lambda: self.accepted() >= want * 0.3, p["limit"], "30 % accepted")
        self.note(f"unplug for {p['unplug']} s at {self.accepted()} accepted")
        self.modem.unplug(p["unplug"])
        self.modem.wait_plugged(p["unplug"] + 10)
        self.note("modem back")

        self.wait_until(lambda: self.accepted() >= want * 0.6, p["limit"], "60 % accepted")
        self.note(f"kill at {self.accepted()} accepted")
        self.server.up.clear()
        kill_windows_process(self.prefix, "Varnix.exe")
        self.server.kill_clients()
        self.watchers[-1].finish()
        time.sleep(1.0)
        self.start_gateway()
        self.note("gateway restarted")

        for s in self.senders:
            s.join(max(1, self.deadline - time.monotonic()))
        self.note(f"senders done: {self.accepted()} accepted")
        stop_injecting.set()
        injector.join(10)
        self.drain()
        self.note("drained")

    def drain(self):
        """Until every id has its end in the journal, the queue is empty and
        every incoming message reached the inbox log."""
        def done():
            texts, finals = judge.journal_state(self.tail.records)
            queue = self.watchers[-1].advised("Queue")
            stored = [m for m in self.modem.stored() if judge.is_deliver(m["pdu"])]
            return (texts and set(texts) <= set(finals) and queue and queue[-1] == "0"
                    and not stored and len(judge.inbox_log(self.prefix)) >=
                    len(self.injected))
        self.wait_until(done, min(self.p["drain"], max(5, self.deadline - time.monotonic())),
                        "the queue drained and every incoming message logged")

    def stop(self):
        """Closes the gateway the way a user does, then stops everything this
        run started, by process id, and says what was left behind."""
        for w in self.watchers:
            w.finish()
        if self.app.running():
            try:
                self.app.ui("close", "answer:OK", timeout=60)
                self.app.wait_exit(30)
            except Exception as e:
                self.note(f"close failed: {e!r}")
        self.memory.stop()
        self.tail.stop()
        if self.app.proc is not None:
            self.app.proc.kill()
        modem_pid = self.modem.pid
        self.modem.stop()
        self.prefix.shutdown()
        time.sleep(0.5)
        return judge.leftovers(self.prefix, modem_pid)


def keep_evidence(soak, workdir):
    """What a failed run leaves for a look: the journal's records as read,
    the gateway's files, the modem's log and the clients' output (the
    run's own directory goes with the Wine environment)."""
    dest = HERE.parent.parent / "build" / "soak" / f"failed-{workdir.name}"
    dest.mkdir(parents=True, exist_ok=True)
    (dest / "journal-records.txt").write_text(
        "\n".join(" ".join(r) for r in soak.tail.records))
    data = soak.prefix.path / "drive_c" / "ProgramData" / "Korva"
    if data.exists():
        shutil.copytree(data, dest / "Korva", dirs_exist_ok=True)
    for f in [soak.modem.logpath, *workdir.glob("out-*.txt"), *workdir.glob("sender-*.txt")]:
        if f.exists():
            shutil.copy(f, dest / f.name)
    print(f"soak: evidence in {dest}", flush=True)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--profile", choices=sorted(PROFILES), default="short")
    ap.add_argument("--seed", type=int, default=20261208)
    ap.add_argument("--out", help="the summary as JSON")
    ap.add_argument("--keep", action="store_true", help="keep the work directory")
    args = ap.parse_args()
    run_dir = env_path("VARNIX_RUN_DIR")
    workdir = run_dir / f"soak-{args.profile}-{os.getpid()}"
    workdir.mkdir(parents=True)
    soak = Soak(args.profile, args.seed, workdir)
    verdict, error = Verdict(), None
    try:
        soak.run()
    except Exception as e:
        error = repr(e)
        soak.note(f"run failed: {error}")
    left = soak.stop()
    judge.judge(soak, verdict, left, error)
    summary = {"profile": args.profile, "seed": args.seed, "passed": not verdict.failures,
               "failures": verdict.failures, "figures": verdict.figures,
               "events": soak.events}
    text = json.dumps(summary, indent=1, ensure_ascii=False)
    if args.out:
        pathlib.Path(args.out).write_text(text)
    print(json.dumps({k: summary[k] for k in ("passed", "failures", "figures")},
                     indent=1, ensure_ascii=False))
    if verdict.failures:
        keep_evidence(soak, workdir)
    if not args.keep and not verdict.failures:
        shutil.rmtree(workdir, ignore_errors=True)
    return 0 if not verdict.failures else 1


if __name__ == "__main__":
    sys.exit(main())
