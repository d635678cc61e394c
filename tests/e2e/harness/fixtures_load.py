"""The `gateway` fixture for the fault and abuse tests: the real Varnix.exe
against the simulated modem with a short Delay, already started, plus the
probes those tests need.

    def test_x(gateway):
        watcher = gateway.watch_status(3, timeout=60)  # separate process
        gateway.submit(("13800138000", "hi"), ...)     # one client process
        assert gateway.wakeup_ok()
        gateway.rss_kb()                               # Varnix.exe's VmRSS
        watcher.finish() ...
        assert gateway.close() is not None

`gateway.app` is the `app` fixture, `gateway.modem` the `modem` fixture.
"""
import os
import pathlib
import threading
import time

import pytest

from harness.dde import esc, run_client, start_client
from harness.fixtures_app import DEFAULTS

CONNECT = "connect Varnix SMS0"
DELAY_MS = 250
CTRL_Z = b"\x1a"


def submit_commands(number, text):
    return [f"poke Num {esc(number)}", f"poke SMS {esc(text)}", "poke Send 1"]


def served(text):
    return (text.encode() + b"\r\n\0").hex()


def status_values(out):
    """The Status publications a watcher saw, as texts."""
    values = []
    for r in out.of("advdata"):
        if r["item"] == "Status":
            values.append(bytes.fromhex(r["hex"]).rstrip(b"\0").decode("latin-1")
                          .replace("\r\n", ""))
    return values


def wine_processes(prefix, name):
    """Linux pids of the Wine processes of this prefix whose command line
    names `name` (Wine shows the Windows path there)."""
    pids = []
    for entry in pathlib.Path("/proc").iterdir():
        if not entry.name.isdigit():
            continue
        try:
            cmd = (entry / "cmdline").read_bytes()
            env = (entry / "environ").read_bytes()
        except OSError:
            continue
        if name.encode() not in cmd:
            continue
        if f"WINEPREFIX={prefix.path}".encode() + b"\0" not in env + b"\0":
            continue
        pids.append(int(entry.name))
    return pids


def rss_kb(pid):
    for line in pathlib.Path(f"/proc/{pid}/status").read_text().splitlines():
        if line.startswith("VmRSS:"):
            return int(line.split()[1])
    return None


class CtrlZPlan:
    """Sets the modem's answer for each PDU in turn: the k-th entry of
    `replies` (a dict of set_reply arguments) is in place when the k-th
    Ctrl-Z arrives. A thread switches to the next one as soon as a Ctrl-Z
    has been seen; the worker needs more than two seconds between two
    PDUs, so the switch is always in time."""

    def __init__(self, modem, replies):
        self.modem = modem
        self.replies = list(replies)
        self.stop = threading.Event()
        self.error = None
        modem.set_reply(**self.replies[0])
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        try:
            seen = 0
            while not self.stop.is_set() and seen < len(self.replies):
                n = self.modem.received_bytes().count(CTRL_Z)
                if n > seen:
                    seen = n
                    if seen < len(self.replies):
                        self.modem.set_reply(**self.replies[seen])
                time.sleep(0.02)
        except Exception as e:  # reported by finish()
            self.error = e

    def finish(self):
        self.stop.set()
        self.thread.join(10)
        if self.error:
            raise self.error


class Gateway:
    def __init__(self, app, modem):
        self.app = app
        self.modem = modem
        self.prefix = app.prefix
        self.win_build = app.win_build

    def start(self, delay=DELAY_MS):
        self.app.write_settings(**dict(DEFAULTS, Delay=delay))
        self.app.start()
        self.app.wait_started()
        self.app.wait_dde()
        return self

    def watch_status(self, count, timeout, linger=0):
        """A separate client process holding an advise link on Status until
        it has seen `count` updates (or `timeout` seconds passed), and then
        `linger` seconds more."""
        w = start_client(self.prefix, self.win_build, CONNECT, "advise Status",
                         "echo ADVISED", f"waitadv {count} {int(timeout * 1000)}",
                         f"sleep {int(linger * 1000)}")
        w.wait_for("ADVISED")
        return w

    def submit(self, *messages):
        cmds = []
        for number, text in messages:
            cmds += submit_commands(number, text)
        out = run_client(self.prefix, self.win_build, CONNECT, *cmds)
        assert out.words("poke") == ["ack"] * len(cmds), out.text
        return out

    def wakeup_ok(self):
        out = run_client(self.prefix, self.win_build, CONNECT, "request Wakeup")
        return out.first("request")["word"] == "ok" and \
            out.first("request")["hex"] == served("1")

    def pid(self):
        pids = wine_processes(self.prefix, "Varnix.exe")
        assert len(pids) == 1, pids
        return pids[0]

    def rss_kb(self):
        return rss_kb(self.pid())

    def pdus(self):
        """The PDUs the modem received, in order, without the Ctrl-Z."""
        return [c[:-1] for _, c in self.modem.commands() if c.endswith(CTRL_Z)]

    def close(self, timeout=30):
        """File > Exit, answered with OK; seconds until the process ended,
        or None."""
        self.app.ui("menu:X1", "answer:OK")
        return self.app.wait_exit(timeout)


@pytest.fixture
def gateway(app, modem):
    return Gateway(app, modem)
