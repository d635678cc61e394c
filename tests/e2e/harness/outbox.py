"""The outbox from the test side: the journal file inside a prefix (read,
written in its own format), the Windows process of a program killed the
hard way, a service's own settings key, and two modems on two ports.

    path = journal_path(prefix)                   # ...\\Varnix.journal
    write_journal(path, [accepted(1, "138", "hi")], torn=True)
    records(path.read_bytes())  -> [["A", "1", "a", "138,hi", "-"], ...]
    kill_windows_process(prefix, "Varnix.exe")    # SIGKILL, no clean exit
    write_service_settings(prefix, workdir, "Varnix2", Port=2)
    map_modems(prefix, {1: modem, 2: modem2})
"""
import os
import pathlib
import signal
import time
import zlib

from harness.fixtures_app import SETTINGS_KEY_32
from harness.modem import map_com_ports

HEADER = "H Varnix-journal 1"


def journal_path(prefix, service="Varnix"):
    """The journal of `service` in %ProgramData% of the prefix."""
    return pathlib.Path(prefix.path) / "drive_c" / "ProgramData" / "Korva" / \
        "Varnix" / f"{service}.journal"


def escape_field(text):
    """A text field of a record: bytes 0x21-0x7E but '%' as they are, the
    others %XX; an empty text is "-", the text "-" is "%2D"."""
    data = text.encode("gbk") if isinstance(text, str) else bytes(text)
    if not data:
        return "-"
    if data == b"-":
        return "%2D"
    return "".join(chr(b) if 0x21 <= b <= 0x7E and b != 0x25 else f"%{b:02X}"
                   for b in data)


def record(payload):
    """One journal line: <payload> SP <length> SP <crc32> LF, as bytes."""
    data = payload.encode("ascii")
    return data + f" {len(data)} {zlib.crc32(data):08x}\n".encode("ascii")


def accepted(message_id, number, text):
    """The "A" record of an ANSI message "number,text"."""
    return f"A {message_id} a {escape_field(number + ',' + text)} -"


def journal_bytes(payloads):
    return b"".join(record(p) for p in [HEADER, *payloads])


def records(data):
    """The payload fields of every intact record from the start, up to the
    first torn or corrupt one, and how many bytes were left after it."""
    out, pos = [], 0
    while pos < len(data):
        end = data.find(b"\n", pos)
        if end < 0:
            break
        line = data[pos:end]
        try:
            payload, length, crc = line.rsplit(b" ", 2)
            ok = int(length) == len(payload) and int(crc, 16) == zlib.crc32(payload)
        except ValueError:
            ok = False
        if not ok:
            break
        out.append(payload.decode("ascii").split(" "))
        pos = end + 1
    return out, len(data) - pos


def final_states(data):
    """{id: [state, ...]} of the E records of a journal."""
    finals = {}
    for fields in records(data)[0]:
        if fields[0] == "E":
            finals.setdefault(int(fields[1]), []).append(fields[2])
    return finals


# -- the Windows process --------------------------------------------------------

def windows_pids(prefix, exe_name):
    """Linux pids of the processes running `exe_name` in this prefix (Wine
    runs each Windows process as one Linux process under its preloader;
    its command line is the Windows one)."""
    want = str(prefix.path).encode()
    name = exe_name.lower().encode()
    pids = []
    for entry in pathlib.Path("/proc").iterdir():
        if not entry.name.isdigit():
            continue
        try:
            cmdline = (entry / "cmdline").read_bytes()
            environ = (entry / "environ").read_bytes()
        except OSError:
            continue
        argv0 = cmdline.split(b"\0", 1)[0].lower().replace(b"\\", b"/")
        if not argv0.endswith(b"/" + name) and argv0 != name:
            continue
        if b"WINEPREFIX=" + want + b"\0" in environ + b"\0":
            pids.append(int(entry.name))
    return pids


def kill_windows_process(prefix, exe_name, timeout=10):
    """SIGKILL to exactly the one process of `exe_name` in the prefix, as a
    power cut would end it; returns its pid once it is gone."""
    pids = windows_pids(prefix, exe_name)
    assert len(pids) == 1, f"{exe_name} processes in the prefix: {pids}"
    pid = pids[0]
    os.kill(pid, signal.SIGKILL)
    end = time.monotonic() + timeout
    while pathlib.Path(f"/proc/{pid}").exists():
        try:
            # Our own child (the `wine` started by the test): reap it.
            if os.waitpid(pid, os.WNOHANG)[0] == pid:
                break
        except ChildProcessError:
            pass
        stat = pathlib.Path(f"/proc/{pid}/stat")
        try:
            if stat.read_text().rsplit(")", 1)[1].split()[0] == "Z":
                break
        except (OSError, IndexError):
            break
        assert time.monotonic() < end, f"{exe_name} ({pid}) still runs after SIGKILL"
        time.sleep(0.02)
    return pid


# -- settings and ports -----------------------------------------------------------

def write_service_settings(prefix, workdir, service, **values):
    """REG_DWORD values in the key of the service `service` (its own
    subkey unless it is "Varnix"), 32-bit view."""
    key = SETTINGS_KEY_32 if service.lower() == "varnix" else SETTINGS_KEY_32 + "\\" + service
    lines = ["REGEDIT4", "", f"[{key}]"]
    for name, value in values.items():
        lines.append(f'"{name}"=dword:{value & 0xFFFFFFFF:08x}')
    regfile = pathlib.Path(workdir) / f"settings-{service}.reg"
    regfile.write_text("\r\n".join(lines) + "\r\n")
    code, out = prefix.reg("import", str(regfile))
    assert code == 0, out


def map_modems(prefix, modems):
    """COM<n> to each modem of {n: SimModem}; every other port of COM1-COM9
    to a device that does not exist. Restarts the prefix's wineserver."""
    first = next(iter(modems.values()))
    ports = {n: first.workdir / "no-such-device" for n in range(1, 10)}
    ports.update({n: m.link for n, m in modems.items()})
    map_com_ports(prefix, ports)
