"""The test side of DDE: the DDE test host (tests/e2e/dde/dde_host.cpp) with
the real server layer and send rule, and the scriptable client
(tools/ddeclient).

    host = DdeHost.start(prefix, win_build, workdir)   # service VarnixDdeHost
    host.queued()            -> [b"13800000000,hello", ...]
    host.publish("1")        # statusText := "1", then WM_SENDDONE(0)
    out = run_client(prefix, win_build, "connect VarnixDdeHost SMS0",
                     "poke Num 138", ...)
    out.first("poke")        -> {"kind": "poke", "word": "ack", "item": ...}
"""
import pathlib
import shutil
import time

SERVICE = "VarnixDdeHost"


def host_exe(win_build):
    return pathlib.Path(win_build) / "bin" / "VarnixDdeHost.exe"


def client_exe(win_build):
    return pathlib.Path(win_build) / "bin" / "ddeclient.exe"


def send_exe(win_build):
    return pathlib.Path(win_build) / "bin" / "varnix-send.exe"


def esc(text):
    """A text as one word of a ddeclient command."""
    out = []
    for ch in text:
        out.append({"\\": "\\\\", " ": "\\s", "\r": "\\r", "\n": "\\n",
                    "\t": "\\t", "\0": "\\0"}.get(ch, ch))
    return "".join(out) if out else "hex:"


def served(text):
    """The bytes the server hands out for an item holding these lines."""
    lines = text if isinstance(text, list) else [text]
    return (b"".join(l.encode() + b"\r\n" for l in lines) + b"\0").hex()


def parse_line(line):
    words = line.split()
    if not words:
        return None
    rec = {"kind": words[0], "word": words[1] if len(words) > 1 else "",
           "line": line}
    for w in words[1:]:
        if "=" in w:
            k, v = w.split("=", 1)
            rec[k] = unescape(v)
    return rec


def unescape(word):
    out, i = [], 0
    while i < len(word):
        if word[i] == "\\" and i + 1 < len(word):
            out.append({"s": " ", "\\": "\\", "t": "\t", "r": "\r",
                        "n": "\n"}.get(word[i + 1], word[i + 1]))
            i += 2
        else:
            out.append(word[i])
            i += 1
    return "".join(out)


class ClientOutput:
    def __init__(self, text):
        self.text = text
        self.records = [r for r in map(parse_line, text.splitlines()) if r]

    def of(self, kind):
        return [r for r in self.records if r["kind"] == kind]

    def first(self, kind):
        found = self.of(kind)
        assert found, f"no {kind} line in:\n{self.text}"
        return found[0]

    def words(self, kind):
        return [r["word"] for r in self.of(kind)]

    def __str__(self):
        return self.text


def run_client(prefix, win_build, *commands, timeout=60):
    code, out = prefix.run(client_exe(win_build), *commands, timeout=timeout)
    assert code == 0, out
    result = ClientOutput(out.replace("\r", ""))
    assert result.of("end"), out
    return result


class StartedClient:
    def __init__(self, started):
        self.started = started

    def wait_for(self, needle, timeout=30):
        assert self.started.wait_for_output(needle, timeout), (
            f"{needle!r} not seen:\n{self.started.output()}")

    def count(self, needle):
        """How many of its output lines so far begin with `needle`."""
        return sum(1 for line in self.started.output().replace("\r", "").splitlines()
                   if line.startswith(needle))

    def wait_count(self, needle, count, timeout):
        """Until `count` output lines begin with `needle`; fails after
        `timeout` s."""
        end = time.monotonic() + timeout
        while self.count(needle) < count:
            assert time.monotonic() < end, (
                f"{count} x {needle!r} not seen:\n{self.started.output()}")
            time.sleep(0.05)

    def finish(self, timeout=60):
        code = self.started.wait(timeout)
        out = ClientOutput(self.started.output().replace("\r", ""))
        assert code == 0 and out.of("end"), out.text
        return out


def start_client(prefix, win_build, *commands):
    return StartedClient(prefix.start(client_exe(win_build), *commands))


class DdeHost:
    def __init__(self, started, control, service):
        self.started = started
        self.control_path = control
        self.service = service

    @classmethod
    def start(cls, prefix, win_build, workdir, name=SERVICE, args=()):
        """Starts the host as <name>.exe (its service name) and waits until
        its service is registered."""
        workdir = pathlib.Path(workdir)
        workdir.mkdir(parents=True, exist_ok=True)
        exe = workdir / f"{name}.exe"
        shutil.copyfile(host_exe(win_build), exe)
        control = workdir / f"{name}-control.txt"
        control.write_bytes(b"")
        started = prefix.start(exe, "--control", control, *args)
        host = cls(started, control, name)
        if not started.wait_for_output("READY", 60):
            raise AssertionError("DDE host did not start:\n" + started.output())
        return host

    def output(self):
        return self.started.output().replace("\r", "")

    def lines(self, kind):
        return [l for l in self.output().splitlines() if l.startswith(kind + " ")
                or l == kind]

    def queued(self):
        return [bytes.fromhex(l.split()[1]) if len(l.split()) > 1 else b""
                for l in self.lines("QUEUED")]

    def wait_queued(self, count, timeout=20):
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            if len(self.queued()) >= count:
                return self.queued()
            time.sleep(0.02)
        return self.queued()

    def settle_queue(self, quiet=0.3):
        """The queue as drained so far, after the host has been seen quiet
        for `quiet` seconds (the host drains every 10 ms)."""
        time.sleep(quiet)
        return self.queued()

    def control(self, line):
        with open(self.control_path, "ab") as f:
            f.write(line.encode() + b"\n")

    def _wait_lines(self, kind, count, timeout=20):
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            if len(self.lines(kind)) >= count:
                return
            time.sleep(0.02)
        raise AssertionError(f"{count} x {kind} not seen:\n{self.output()}")

    def publish(self, status):
        """What the worker does after a message: statusText := status, then
        WM_SENDDONE with wParam 0. Returns after the handler ran."""
        n = len(self.lines("SENDDONE"))
        self.control(f"status {status}")
        self._wait_lines("SENDDONE", n + 1)
        return self.lines("SENDDONE")[-1]

    def senddone(self, wparam):
        n = len(self.lines("SENDDONE"))
        self.control(f"senddone {wparam}")
        self._wait_lines("SENDDONE", n + 1)
        return self.lines("SENDDONE")[-1]

    def begin_shutdown(self):
        self.control("stop")
        self._wait_lines("STOPPING", 1)

    def quit(self, timeout=30):
        self.control("quit")
        return self.started.wait(timeout)
