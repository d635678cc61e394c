#!/usr/bin/python3
"""A simulated GSM modem on one end of a pseudo-terminal.

The other end (the pty's slave device, reachable through a symbolic link of
a fixed name) is what a Wine prefix maps to a COM port. The modem logs every
byte it receives and every byte it sends, with CLOCK_MONOTONIC times, as JSON
lines, and answers in text mode the way a modem answers the dialogue of an
SMS gateway:

  - a command line ended by CR gets the reply set for that command, else the
    general AT reply ("OK\\r\\n" unless told otherwise);
  - "AT+CMGS=<n>" gets the prompt and switches to PDU input, which ends at
    Ctrl-Z (the PDU reply follows) or ESC (cancelled, no reply).

Each PDU is recorded in the log when its Ctrl-Z arrives ("event": "pdu":
the AT+CMGS count "part", its "length", the "pdu" text, whether the length
fits, the "mr" it was given), an abandoned one as "pdu-abandoned".

Every reply is a list of chunks [delay in seconds, hex bytes], each delay
counted from the chunk before, so pieces, late replies, trickles and floods
are all the same thing. A later trigger does not cancel chunks still due.

It is driven over a Unix socket in its work directory, one JSON object per
line each way:

  {"op": "ping"}
  {"op": "set", "at": chunks, "prompt": chunks, "pdu": chunks,
   "commands": {"AT+CMGF=0": chunks, ...}, "capacity": n, "redeliver": s (store.py),
   "cmgf": ..., "cmgs": ..., "unsolicited": [...], "echo": ...,
   "split": ..., "watch": ...}                 (any subset; "watch" is
                                               described in watch.py, the
                                               five before it in dialogue.py)
  {"op": "push", "chunks": chunks}             bytes to the Windows side now
  {"op": "hangup"}                             closes the pty, removes the link
  {"op": "restore"}                            a new pty behind the same link
  {"op": "unplug", "seconds": s}               a hangup, and `s` s later (null:
                                               never) a restore by itself, as
                                               a USB modem pulled and put back
  {"op": "state"}                              "plugged", "path", "replug_in"
  {"op": "termios"}                            the line as the slave sees it
  {"op": "quit"}

  {"op": "store", "pdu": hex, ...}             a message or report on the SIM,
  {"op": "stored"}                             now or later; what the SIM holds
                                               ("reports" of "set" too: store.py)

Standard library only; run with /usr/bin/python3.
"""
import argparse
import errno
import heapq
import json
import os
import pathlib
import select
import signal
import socket
import sys
import time
import tty

# Run from the source tree by every test: its modules leave no bytecode there.
sys.dont_write_bytecode = True
from dialogue import Behaviour, chunk_items, expand  # noqa: E402
from line import line_settings  # noqa: E402
from store import Store  # noqa: E402
from watch import Watch  # noqa: E402

CR = 0x0D
CTRL_Z = 0x1A
ESC = 0x1B

DEFAULT_AT = [[0, b"OK\r\n".hex()]]
DEFAULT_PROMPT = [[0, b"\r\n> ".hex()]]
DEFAULT_PDU = [[0, b"\r\n+CMGS: 12\r\n\r\nOK\r\n".hex()]]



def now():
    return time.monotonic()


class Modem:
    def __init__(self, workdir, link):
        self.workdir = pathlib.Path(workdir)
        self.link = pathlib.Path(link)
        self.workdir.mkdir(parents=True, exist_ok=True)
        self.log = open(self.workdir / "modem.log", "a", buffering=1)
        self.master = None
        self.slave = None
        self.at = DEFAULT_AT
        self.prompt = DEFAULT_PROMPT
        self.pdu = DEFAULT_PDU
        self.commands = {}
        self.line = bytearray()
        self.in_pdu = None  # the AT+CMGS whose PDU is being read
        self.behaviour = Behaviour()
        self.watch = Watch()
        self.store = Store(self.record, self.schedule_items)
        self.replug_at = None  # when an unplugged pty comes back by itself
        self.echo_buf = bytearray()
        self.due = []  # heap of (time, seq, bytes)
        self.seq = 0
        self.outbuf = bytearray()
        self.running = True
        self.open_pty()

    # -- the pseudo-terminal -------------------------------------------------

    def open_pty(self):
        self.master, self.slave = os.openpty()
        # The modem keeps the slave open itself: the master then never sees
        # a hang-up while the Windows side has the port closed, and the line
        # settings stay readable. Raw, so the line discipline neither echoes
        # nor translates until Wine configures the line.
        tty.setraw(self.slave)
        os.set_blocking(self.master, False)
        path = os.ttyname(self.slave)
        tmp = self.link.with_name(self.link.name + ".new")
        if tmp.is_symlink() or tmp.exists():
            tmp.unlink()
        tmp.symlink_to(path)
        os.replace(tmp, self.link)
        self.record(event="pty", path=path)

    def close_pty(self):
        if self.master is None:
            return
        if self.link.is_symlink():
            self.link.unlink()
        os.close(self.master)
        os.close(self.slave)
        self.master = self.slave = None
        self.line.clear()
        self.in_pdu = None
        self.echo_buf.clear()
        self.due.clear()
        self.outbuf.clear()
        self.record(event="hangup")

    def termios(self):
        return None if self.slave is None else line_settings(self.slave)

    # -- log -----------------------------------------------------------------

    def record(self, **fields):
        fields = {"t": now(), **fields}
        self.log.write(json.dumps(fields) + "\n")

    # -- replies -------------------------------------------------------------

    def schedule(self, chunks):
        self.schedule_items(chunk_items(chunks))

    def schedule_items(self, items, split=None):
        """Queues items (see dialogue.expand); returns the time each tag's
        last byte is due."""
        t0 = now()
        due = {}
        for off, data, tag in expand(items, split):
            self.seq += 1
            heapq.heappush(self.due, (t0 + off, self.seq, data))
            due[tag] = t0 + off
        return due

    def flush_echo(self):
        if self.echo_buf:
            self.schedule_items([(0.0, bytes(self.echo_buf), False, None)])
            self.echo_buf.clear()

    def received(self, data):
        self.record(rx=data.hex())
        beh = self.behaviour
        for b in data:
            if self.in_pdu is not None:
                if b == CTRL_Z:
                    self.flush_echo()
                    self.end_pdu()
                elif b == ESC:
                    self.flush_echo()
                    state, self.in_pdu = self.in_pdu, None
                    self.record(event="pdu-abandoned", part=state["part"],
                                pdu=bytes(state["buf"]).decode("latin-1"))
                    self.schedule_items(beh.cmgs_escape(state), beh.split_for(state))
                else:
                    if self.in_pdu["first_t"] is None:
                        self.in_pdu["first_t"] = now()
                    self.in_pdu["buf"].append(b)
                    if beh.echo_pdu():
                        self.echo_buf.append(b)
                continue
            if b != CR:
                if not self.line:
                    beh.line_starts()
                self.line.append(b)
                if beh.echo_on:
                    self.echo_buf.append(b)
                continue
            if beh.echo_on:
                self.echo_buf.append(b)
            self.flush_echo()
            command = bytes(self.line).strip().upper()
            self.line.clear()
            if command:
                self.command(command.decode("latin-1"))
        self.flush_echo()

    def command(self, key):
        beh = self.behaviour
        beh.command_seen(key)
        state = None
        own = None if key in self.commands else self.watch.answer(key)
        if own is None and key not in self.commands:
            own = self.store.answer(key)
        if key in self.commands:
            items = chunk_items(self.commands[key])
        elif own is not None:
            items = own
        elif key == "AT+CMGF=0" and beh.cmgf is not None:
            items = beh.cmgf_items()
        elif key.startswith("AT+CMGS="):
            items, state = beh.cmgs_start(key, self.prompt)
            self.in_pdu = state
        else:
            items = chunk_items(self.at)
        end = max((i[0] for i in items), default=0.0)
        items += beh.moment("command", end, command=key)
        due = self.schedule_items(items, beh.split_for(state))
        if state is not None:
            state["prompt_due"] = due.get("prompt")
        self.store.command_seen(key)

    def end_pdu(self):
        """The Ctrl-Z: the PDU is recorded, then answered."""
        state, self.in_pdu = self.in_pdu, None
        items, fields = self.behaviour.cmgs_end(state, self.pdu)
        self.record(event="pdu-end")
        self.record(event="pdu", part=state["part"], length=state["length"],
                    pdu=bytes(state["buf"]).decode("latin-1"),
                    first_t=state["first_t"], prompt_due=state["prompt_due"],
                    **fields)
        self.schedule_items(items, self.behaviour.split_for(state))
        self.store.sent(bytes(state["buf"]).decode("latin-1"), fields["mr"])

    def pump_due(self):
        """Moves the bytes now due to the output buffer; brings an
        unplugged pty back when its time has come."""
        t = now()
        self.store.pump(t)
        if self.replug_at is not None and t >= self.replug_at:
            self.replug_at = None
            if self.master is None:
                self.open_pty()
        while self.due and self.due[0][0] <= t:
            _, _, data = heapq.heappop(self.due)
            self.outbuf += data

    def write_out(self):
        if not self.outbuf or self.master is None:
            return
        try:
            n = os.write(self.master, self.outbuf[:65536])
        except BlockingIOError:
            return
        except OSError as e:
            if e.errno == errno.EIO:
                return
            raise
        self.record(tx=bytes(self.outbuf[:n]).hex())
        del self.outbuf[:n]

    # -- control -------------------------------------------------------------

    def control(self, req):
        op = req.get("op")
        if op == "ping":
            return {"ok": True, "pid": os.getpid()}
        if op == "set":
            if "at" in req:
                self.at = req["at"]
            if "prompt" in req:
                self.prompt = req["prompt"]
            if "pdu" in req:
                self.pdu = req["pdu"]
            if "commands" in req:
                self.commands = {k.upper(): v for k, v in req["commands"].items()}
            start = self.behaviour.configure(req)
            if "watch" in req:
                self.watch.configure(req["watch"])
            if "reports" in req:
                self.store.configure(req["reports"])
            if "capacity" in req:
                if not 1 <= int(req["capacity"]) <= 1000:
                    raise ValueError("capacity must be 1-1000")
                self.store.capacity = int(req["capacity"])
            if "redeliver" in req:
                r = req["redeliver"]
                self.store.redeliver = None if r is None else max(0.0, float(r))
            if self.master is not None:
                self.schedule_items(start)
            return {"ok": True}
        if op == "push":
            if self.master is None:
                return {"ok": False, "error": "hung up"}
            self.schedule(req["chunks"])
            return {"ok": True}
        if op == "store":
            return {"ok": True, "index": self.store.request(req)}
        if op == "stored":
            return {"ok": True, "messages": [{"index": i, **v} for i, v in
                                             sorted(self.store.slots.items())]}
        if op == "hangup":
            self.replug_at = None
            self.close_pty()
            return {"ok": True}
        if op == "restore":
            self.replug_at = None
            if self.master is None:
                self.open_pty()
            return {"ok": True, "path": os.ttyname(self.slave)}
        if op == "unplug":
            seconds = req.get("seconds")
            self.close_pty()
            self.record(event="unplug", seconds=seconds)
            self.replug_at = None if seconds is None else now() + max(0.0, float(seconds))
            return {"ok": True}
        if op == "state":
            return {"ok": True, "plugged": self.master is not None,
                    "path": None if self.slave is None else os.ttyname(self.slave),
                    "replug_in": None if self.replug_at is None
                    else max(0.0, self.replug_at - now())}
        if op == "termios":
            return {"ok": True, "termios": self.termios()}
        if op == "quit":
            self.running = False
            return {"ok": True}
        return {"ok": False, "error": f"unknown op {op!r}"}

    # -- main loop -----------------------------------------------------------

    def run(self, sock_path):
        server = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        server.bind(str(sock_path))
        server.listen(4)
        clients = {}
        (self.workdir / "ready").write_text(f"{os.getpid()}\n")
        while self.running:
            self.pump_due()
            timeout = None
            wake = [t for t in (self.due[0][0] if self.due else None,
                                self.replug_at, self.store.next_due())
                    if t is not None]
            if wake:
                timeout = max(0.0, min(wake) - now())
            rlist = [server, *clients]
            wlist = []
            if self.master is not None:
                rlist.append(self.master)
                if self.outbuf:
                    wlist.append(self.master)
            r, w, _ = select.select(rlist, wlist, [], timeout)
            if self.master is not None and self.master in r:
                try:
                    data = os.read(self.master, 65536)
                except BlockingIOError:
                    data = b""
                except OSError as e:
                    if e.errno != errno.EIO:
                        raise
                    data = b""
                if data:
                    self.received(data)
            if self.master is not None and self.master in w:
                self.write_out()
            elif self.outbuf:
                self.write_out()
            if server in r:
                conn, _ = server.accept()
                clients[conn] = bytearray()
            for conn in [c for c in clients if c in r]:
                chunk = conn.recv(65536)
                if not chunk:
                    conn.close()
                    del clients[conn]
                    continue
                clients[conn] += chunk
                while b"\n" in clients[conn]:
                    line, _, rest = bytes(clients[conn]).partition(b"\n")
                    clients[conn] = bytearray(rest)
                    try:
                        reply = self.control(json.loads(line))
                    except Exception as e:  # a bad request must not end the modem
                        reply = {"ok": False, "error": repr(e)}
                    conn.sendall((json.dumps(reply) + "\n").encode())
        for conn in clients:
            conn.close()
        server.close()
        self.close_pty()
        self.record(event="quit")


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--dir", help="work directory: log, control socket, ready")
    ap.add_argument("--link", help="symbolic link to the slave device")
    ap.add_argument("--self-test", action="store_true")
    args = ap.parse_args()
    if args.self_test:
        from selftest import self_test
        return self_test(Modem)
    if not args.dir or not args.link:
        ap.error("--dir and --link are required")
    m = Modem(args.dir, args.link)

    def stop(*_):
        # Raised out of the select() the loop is blocked in.
        raise SystemExit(0)
    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)
    try:
        m.run(pathlib.Path(args.dir) / "control.sock")
    finally:
        m.close_pty()
    return 0


if __name__ == "__main__":
    sys.exit(main())
