"""The soak's DDE clients: ten senders, each a thread that runs the test
client (tools/ddeclient) batch by batch, and the watchers that hold advise
links on Result, Queue and Inbox.

A sender knows for each of its messages one of three things: accepted (the
Send poke or the execute acknowledged, and Id read), not sent at all (it
never reached a live server: it is sent again later), or uncertain (the
server went away while it was under way: it may or may not have been
accepted, and must then have been accepted once at most)."""
import pathlib
import threading
import time

from harness.dde import ClientOutput, client_exe, esc, start_client

CONNECT = "connect Varnix SMS0"


def quoted(s):
    return '"' + s.replace('"', '""') + '"'


def send_command(m):
    return f"[Send({quoted(m.number)},{quoted(m.text)})]"


def item_text(hex_value):
    data = bytes.fromhex(hex_value)
    data = data[:-1] if data.endswith(b"\0") else data
    data = data[:-2] if data.endswith(b"\r\n") else data
    return data.decode("gbk")


def groups(messages):
    """The units a sender submits: one message, or two in one execute."""
    out, i = [], 0
    while i < len(messages):
        if messages[i].mode == "execute2" and i + 1 < len(messages):
            out.append([messages[i], messages[i + 1]])
            i += 2
        else:
            out.append([messages[i]])
            i += 1
    return out


def commands(group, n):
    lines = [f"echo G {n}"]
    m = group[0]
    if len(group) == 2 or m.mode != "poke":
        lines.append(f"execute {esc(''.join(send_command(x) for x in group))}")
        lines.append("request Id")
    else:
        # Num and SMS are the server's, not the conversation's: clients that
        # send by pokes take turns, as the client guide tells them to.
        lines += ["lock varnix-soak-pokes", f"poke Num {esc(m.number)}",
                  f"poke SMS {esc(m.text)}", "poke Send 1", "request Id",
                  "unlock varnix-soak-pokes"]
    return lines


class Server:
    """Whether the gateway is up: senders wait on it after a failure; the
    driver tracks their client processes so that a kill ends them too."""

    def __init__(self):
        self.up = threading.Event()
        self.lock = threading.Lock()
        self.running = set()

    def track(self, started):
        with self.lock:
            self.running.add(started)

    def untrack(self, started):
        with self.lock:
            self.running.discard(started)

    def kill_clients(self):
        with self.lock:
            procs = list(self.running)
        for p in procs:
            p.kill()


class Sender(threading.Thread):
    def __init__(self, n, prefix, win_build, messages, workdir, server, pace, batch=6,
                 deadline=None):
        super().__init__(name=f"sender-{n}", daemon=True)
        self.n, self.prefix, self.win_build = n, prefix, win_build
        self.todo = groups(messages)
        self.workdir = pathlib.Path(workdir)
        self.server, self.pace, self.batch = server, pace, batch
        self.deadline = deadline
        self.accepted = {}      # tag -> id
        self.uncertain = set()  # tags
        self.resent = 0
        self.batches = 0
        self.error = None

    def run(self):
        try:
            self._run()
        except Exception as e:  # reported by the driver
            self.error = repr(e)

    def _run(self):
        while self.todo:
            if self.deadline and time.monotonic() > self.deadline:
                raise RuntimeError(f"sender {self.n}: {len(self.todo)} groups left at the deadline")
            if not self.server.up.wait(120):
                raise RuntimeError(f"sender {self.n}: the server stayed away")
            batch, self.todo = self.todo[:self.batch], self.todo[self.batch:]
            self.todo = self._submit(batch) + self.todo

    def _submit(self, batch):
        """Runs one batch; returns the groups to send again."""
        self.batches += 1
        script = self.workdir / f"sender-{self.n}-{self.batches}.txt"
        lines = [CONNECT]
        for k, g in enumerate(batch):
            lines += commands(g, k)
            lines.append(f"sleep {self.pace(g)}")
        script.write_text("\n".join(lines) + "\n", encoding="utf-8")
        started = self.prefix.start(client_exe(self.win_build), "--script", str(script))
        self.server.track(started)
        try:
            started.wait(300)
        finally:
            self.server.untrack(started)
            started.kill()
        out = ClientOutput(started.output().replace("\r", ""))
        return self._judge(batch, out)

    def _judge(self, batch, out):
        again = []
        connected = bool(out.of("connect")) and out.first("connect")["word"] == "ok"
        # The records of each group: from its echo to the next.
        per_group, cur = {}, None
        for r in out.records:
            if r["kind"] == "echo" and r["line"].startswith("echo G "):
                cur = int(r["line"].split()[2])
                per_group[cur] = []
            elif cur is not None:
                per_group[cur].append(r)
        for k, g in enumerate(batch):
            recs = per_group.get(k)
            if not connected or recs is None:
                again.append(g)  # never reached a live server
                continue
            answers = [r for r in recs if r["kind"] in ("poke", "execute")]
            ids = [r for r in recs if r["kind"] == "request" and r.get("item") == "Id"]
            id_text = item_text(ids[0]["hex"]) if ids and ids[0]["word"] == "ok" else ""
            poke = g[0].mode == "poke" and len(g) == 1
            expected = 3 if poke else 1
            if (len(answers) == expected and all(a["word"] == "ack" for a in answers)
                    and id_text.isdigit()):
                last = int(id_text)
                for i, m in enumerate(g):
                    self.accepted[m.tag] = last - (len(g) - 1 - i)
            elif poke and (not answers or answers[0]["word"] != "ack"):
                # Its Num poke already failed: its Send never reached the server.
                again.append(g)
                self.resent += 1
            else:
                self.uncertain.update(m.tag for m in g)
        return again


class Watcher:
    """Clients with hot advise links on Result and Queue (text) and Inbox
    (unicode), until the server goes or `finish`.

    Right after a restart the gateway publishes at once, and Wine's DDEML
    client can fail an advise whose answer arrives behind the data of a link
    it has just made. Another client then advises what is missing, while the
    first keeps its links: each item is watched by exactly one client, and
    none goes unwatched in between."""

    ITEMS = {"Result": "advise Result hot", "Queue": "advise Queue hot",
             "Inbox": "advise Inbox hot unicode"}

    def __init__(self, prefix, win_build, workdir, n, attempts=5):
        self.clients, self.stops = [], []
        missing = list(self.ITEMS)
        for attempt in range(attempts):
            stop = pathlib.Path(workdir) / f"watcher-{n}-{attempt}-stop"
            client = start_client(prefix, win_build, CONNECT,
                                  *(self.ITEMS[i] for i in missing),
                                  "echo ADVISED", f"waitfile {stop} 3600000")
            client.wait_for("ADVISED", 60)
            out = ClientOutput(client.started.output().replace("\r", ""))
            made = {r["item"] for r in out.of("advise") if r["word"] == "ok"}
            if made:
                self.clients.append(client)
                self.stops.append(stop)
            else:
                stop.write_text("")
                client.started.kill()
            missing = [i for i in missing if i not in made]
            if not missing:
                return
        raise AssertionError(f"no client could advise {missing} in {attempts} attempts:\n"
                             f"{out.text}")

    def advised(self, item):
        out = []
        for client in self.clients:
            output = ClientOutput(client.started.output().replace("\r", ""))
            for r in output.of("advdata"):
                if r["item"] != item:
                    continue
                data = bytes.fromhex(r["hex"])
                if item == "Inbox":
                    text = data.decode("utf-16-le").rstrip("\0")
                else:
                    text = data.rstrip(b"\0").decode("gbk")
                out.append(text[:-2] if text.endswith("\r\n") else text)
        return out

    def results(self):
        out = []
        for line in self.advised("Result"):
            fields = line.split("\t")
            assert len(fields) == 3 and fields[0].isdigit(), repr(line)
            out.append((int(fields[0]), fields[1], fields[2]))
        return out

    def finish(self):
        for stop in self.stops:
            stop.write_text("")
        for client in self.clients:
            try:
                client.started.wait(20)
            except Exception:
                pass
            client.started.kill()
