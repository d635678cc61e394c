"""What the soak watches while it runs and judges at its end: the journal
read as it grows (across its compactions), the memory of the gateway, and
the checks over everything the clients, the modem and the files saw."""
import collections
import os
import pathlib
import re
import threading
import time
import zlib

FINAL = ("sent", "failed", "unknown")
RETRYABLE = re.compile(r"^\+CMS ERROR: (331|332|512|515)$|^\+CME ERROR: (14|515)$")


def unescape_field(field):
    """A journal text field back to its bytes (UTF-8 for a Unicode one)."""
    if field == "-":
        return b""
    out, i = bytearray(), 0
    data = field.encode("utf-8")
    while i < len(data):
        if data[i] == 0x25 and data[i + 1:i + 2] == b"u":
            out += chr(int(data[i + 2:i + 6], 16)).encode("utf-8", "surrogatepass")
            i += 6
        elif data[i] == 0x25:
            out.append(int(data[i + 1:i + 3], 16))
            i += 3
        else:
            out.append(data[i])
            i += 1
    return bytes(out)


class JournalTail(threading.Thread):
    """Reads every record the journal ever held. A compaction renames a new
    file over the old one: the old file is read to its end first, then the
    new one from its start (it holds copies of the unfinished messages'
    records, never an end, so every E record is counted once)."""

    def __init__(self, path, interval=0.02):
        super().__init__(name="journal-tail", daemon=True)
        self.path = pathlib.Path(path)
        self.interval = interval
        self.records = []        # [fields], in the order read
        self.files = 0
        self.torn = 0
        self.error = None
        self.stopping = threading.Event()
        self._f, self._ino, self._buf = None, None, b""

    def run(self):
        try:
            while not self.stopping.is_set():
                self.poll()
                time.sleep(self.interval)
            self.poll()
        except Exception as e:  # the verdict says so
            self.error = repr(e)

    def _drain(self):
        data = self._f.read()
        if not data:
            return
        self._buf += data
        *lines, self._buf = self._buf.split(b"\n")
        for line in lines:
            try:
                payload, length, crc = line.rsplit(b" ", 2)
                ok = int(length) == len(payload) and int(crc, 16) == zlib.crc32(payload)
            except ValueError:
                ok = False
            if ok:
                self.records.append(payload.decode("utf-8", "replace").split(" "))
            else:
                self.torn += 1

    def poll(self):
        try:
            st = os.stat(self.path)
        except FileNotFoundError:
            return
        if self._f is not None and st.st_ino == self._ino:
            self._drain()
            return
        if self._f is not None:
            self._drain()  # what the old file got before the rename
            self._f.close()
            if self._buf:
                self.torn += 1  # a torn end the new file cut off
        self._f = open(self.path, "rb")
        self._ino = os.fstat(self._f.fileno()).st_ino
        self._buf = b""
        self.files += 1
        self._drain()

    def stop(self):
        self.stopping.set()
        self.join(10)
        if self._f is not None:
            self._f.close()


class Memory(threading.Thread):
    """VmRSS of the gateway's process every `interval` s, as (t, kB)."""

    def __init__(self, pid_of, interval=2.0):
        super().__init__(name="memory", daemon=True)
        self.pid_of, self.interval = pid_of, interval
        self.samples = []
        self.stopping = threading.Event()

    def run(self):
        t0 = time.monotonic()
        while not self.stopping.wait(self.interval):
            pid = self.pid_of()
            if pid is None:
                continue
            try:
                status = pathlib.Path(f"/proc/{pid}/status").read_text()
            except OSError:
                continue
            m = re.search(r"^VmRSS:\s+(\d+) kB", status, re.M)
            if m:
                self.samples.append((round(time.monotonic() - t0, 1), pid, int(m.group(1))))

    def stop(self):
        self.stopping.set()
        self.join(10)


def journal_view(records):
    """{id: tag bytes of its A record} and {id: [final states]}."""
    texts, finals = {}, collections.defaultdict(list)
    for f in records:
        if f[0] == "A" and len(f) == 5:
            entry = unescape_field(f[3]) + unescape_field(f[4])
            m = re.search(rb"#c\d\dm\d{4}#", entry)
            texts[int(f[1])] = m.group(0).decode() if m else None
        elif f[0] == "E":
            finals[int(f[1])].append(f[2])
    return texts, finals


def log_finals(lines):
    """{id: [final states]} from the administrator's log lines."""
    finals = collections.defaultdict(list)
    for line in lines:
        m = re.match(r"^\S+ \S+ message (\d+) (\w+)", line)
        if m and m.group(2) in FINAL:
            finals[int(m.group(1))].append(m.group(2))
    return finals


def pdu_repeats(pdus):
    """PDUs that reached the modem more than once although an earlier
    attempt may have sent them: [(pdu, [results])]."""
    seen = collections.defaultdict(list)
    for p in pdus:
        seen[p["pdu"]].append(p)
    bad = []
    for pdu, attempts in seen.items():
        for earlier in attempts[:-1]:
            if not (earlier["result"] in ("error", "length")
                    and RETRYABLE.match(earlier.get("error", ""))):
                bad.append((pdu[:40], [(a["result"], a.get("error")) for a in attempts]))
                break
    return bad, sum(len(a) - 1 for a in seen.values())


class Verdict:
    def __init__(self):
        self.failures = []
        self.figures = {}

    def check(self, ok, what):
        if not ok:
            self.failures.append(what)
        return ok
