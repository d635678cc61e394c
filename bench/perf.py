#!/usr/bin/python3
"""The performance benchmarks of Varnix.exe under Wine.

Run through bench/run.sh, which builds the programs and provides the Xvfb
display and the template Wine prefix (scripts/wine-env.sh). This script
copies the prefix, starts the simulated modem on COM1, the bare DDE server
and Varnix, drives varnix-bench.exe, and writes the results as JSON and as
the table of docs/performance.md.

Environment: VARNIX_PREFIX_TEMPLATE, DISPLAY (from wine-env.sh),
VARNIX_BENCH_BUILD (the mingw build tree), VARNIX_BENCH_RUNS (repetitions,
default 7), VARNIX_BENCH_IDLE_S (idle CPU window, default 60),
VARNIX_BENCH_BURST (pokes per burst, default 10000), VARNIX_BENCH_OUT (the
Markdown file to rewrite; none when empty)."""
import datetime
import importlib
import json
import os
import pathlib
import platform
import select
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests" / "e2e"))

from harness.fixtures_app import SETTINGS_KEY_32, write_settings  # noqa: E402
from harness.modem import SimModem, map_com_ports, modem_ports  # noqa: E402
from harness.wine import WinePrefix  # noqa: E402

DELAY_MS = 200
CMNI = b"AT+CNMI=0, 0, 0, 0, 0\r"
CTRL_Z = b"\x1a"
CLK_TCK = os.sysconf("SC_CLK_TCK")
WINDOWS_DLLS = {"advapi32.dll", "comctl32.dll", "gdi32.dll", "kernel32.dll",
                "msvcrt.dll", "user32.dll", "shell32.dll", "ole32.dll",
                "comdlg32.dll", "ws2_32.dll", "ntdll.dll", "version.dll",
                "imm32.dll", "uxtheme.dll", "shlwapi.dll", "winmm.dll"}


def env_int(name, default):
    value = os.environ.get(name, "")
    return int(value) if value.strip() else default


RUNS = max(1, env_int("VARNIX_BENCH_RUNS", 7))
IDLE_S = max(10, env_int("VARNIX_BENCH_IDLE_S", 60))
BURST = max(100, env_int("VARNIX_BENCH_BURST", 10000))
ROUNDTRIP_POKES = 300
MESSAGES = max(3, 2 * RUNS)
BURST_ROUNDS = 2


def summary(values, digits=2):
    """Median with min, max and the quartiles of a list of numbers."""
    v = sorted(values)
    if len(v) >= 4:
        q = statistics.quantiles(v, n=4, method="inclusive")
        q1, q3 = q[0], q[2]
    else:
        q1, q3 = v[0], v[-1]
    r = lambda x: round(x, digits)  # noqa: E731
    return {"median": r(statistics.median(v)), "min": r(v[0]), "max": r(v[-1]),
            "q1": r(q1), "q3": r(q3), "n": len(v)}


def percentile(values, p):
    v = sorted(values)
    k = (len(v) - 1) * p / 100.0
    lo = int(k)
    hi = min(lo + 1, len(v) - 1)
    return v[lo] + (v[hi] - v[lo]) * (k - lo)


def parse(text):
    """Output lines of varnix-bench.exe as (word, {key: value})."""
    out = []
    for line in text.replace("\r", "").splitlines():
        words = line.split()
        if not words:
            continue
        fields = {}
        for w in words:
            if "=" in w:
                k, v = w.split("=", 1)
                fields[k] = v
        out.append((words[0].split("=")[0], fields))
    return out


class Bench:
    def __init__(self, workdir, build):
        self.workdir = pathlib.Path(workdir)
        self.build = pathlib.Path(build)
        self.exe = self.build / "bin" / "Varnix.exe"
        self.client = self.build / "bin" / "varnix-bench.exe"
        self.ack_exe = self.build / "bin" / "VarnixAck.exe"
        self.commands = []
        self.results = {}
        self.last_output = ""
        self.prefix = None
        self.modem = None
        self.app = None
        self.freq = None
        self.offset = None  # monotonic seconds = ticks / freq + offset
        self.ack = None
        self.ack_pid = None

    # -- plumbing -------------------------------------------------------------

    def run_client(self, *args, timeout=600):
        self.commands.append("wine varnix-bench.exe " + " ".join(map(str, args)))
        code, out = self.prefix.run(self.client, *args, timeout=timeout)
        self.last_output = out
        recs = parse(out)
        for word, f in recs:
            if word == "freq":
                self.freq = int(f["freq"])
        if code != 0:
            raise RuntimeError(f"varnix-bench {args[0]} failed ({code}):\n{out[-2000:]}")
        return recs

    def start_client(self, *args):
        self.commands.append("wine varnix-bench.exe " + " ".join(map(str, args)) + " &")
        return self.prefix.start(self.client, *args)

    def mono(self, ticks):
        return int(ticks) / self.freq + self.offset

    def write_settings(self, **values):
        write_settings(self.prefix, self.workdir, **values)

    def start_varnix(self):
        """Starts Varnix and returns once its worker runs: the modem has seen
        the second init command, and Delay has passed since."""
        seen = len([c for _, c in self.modem.commands() if c == CMNI])
        self.commands.append("wine Varnix.exe &")
        self.app = self.prefix.start(self.exe)
        end = time.monotonic() + 60
        while len([c for _, c in self.modem.commands() if c == CMNI]) <= seen:
            if time.monotonic() > end or not self.app.running():
                raise RuntimeError("Varnix did not initialise the modem")
            time.sleep(0.02)
        time.sleep(DELAY_MS / 1000 + 0.5)
        return self.windows_pid(self.app, "Varnix.exe")

    def windows_pid(self, started, exe_name):
        """The Linux pid of the Windows program `started` runs: its own, or,
        when `wine` ran it through start.exe, the one process of that name
        in the prefix."""
        pid = started.popen.pid
        if exe_name.encode() in pathlib.Path(f"/proc/{pid}/cmdline").read_bytes():
            return pid
        from harness.outbox import windows_pids
        end = time.monotonic() + 30
        while len(pids := windows_pids(self.prefix, exe_name)) != 1:
            if time.monotonic() > end:
                raise RuntimeError(f"{exe_name} processes in the prefix: {pids}")
            time.sleep(0.05)
        return pids[0]

    # -- the benchmarks -------------------------------------------------------

    def clock(self):
        """Aligns QueryPerformanceCounter with the Linux CLOCK_MONOTONIC of
        the modem's log: UDP exchanges with this script, each reply stamped
        here; the exchange with the shortest round trip gives the offset."""
        sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        sock.bind(("127.0.0.1", 0))
        sock.settimeout(0.2)
        port = sock.getsockname()[1]
        stop = threading.Event()

        def serve():
            while not stop.is_set():
                try:
                    data, addr = sock.recvfrom(64)
                except socket.timeout:
                    continue
                t = time.monotonic()
                raw = time.clock_gettime(time.CLOCK_MONOTONIC_RAW)
                sock.sendto(data + f" {t!r} {raw!r}".encode(), addr)

        th = threading.Thread(target=serve, daemon=True)
        th.start()
        try:
            self.run_client("clock", port, 50)
        finally:
            stop.set()
            th.join()
            sock.close()
        pings = []
        for ln in self.last_output.replace("\r", "").splitlines():
            if not ln.startswith("ping "):
                continue
            # ping a=<ticks> b=<ticks> reply=<probe> <monotonic> <raw>
            parts = ln.split()
            a = int(parts[1].split("=")[1]) / self.freq
            b = int(parts[2].split("=")[1]) / self.freq
            mono, raw = float(parts[4]), float(parts[5])
            pings.append((b - a, mono - (a + b) / 2, raw - (a + b) / 2))
        best = min(pings)
        self.offset = best[1]
        rtts = [p[0] * 1e3 for p in pings]
        self.results["clock"] = {
            "freq": self.freq,
            "offset_monotonic_ms": round(best[1] * 1e3, 3),
            "offset_monotonic_raw_ms": round(best[2] * 1e3, 3),
            "uncertainty_ms": round(best[0] / 2 * 1e3, 3),
            "rtt_ms": summary(rtts, 3),
            "offset_spread_ms": summary([p[1] * 1e3 for p in pings], 3),
        }

    def roundtrip(self):
        recs = self.run_client("roundtrip", RUNS, ROUNDTRIP_POKES, "Num", "Varnix", "VarnixAck")
        per_run = {}
        acked = 0
        for word, f in recs:
            if word != "block":
                continue
            lat = [int(x) / self.freq * 1e3 for x in f["lat"].split(",")]
            acked += int(f["acked"])
            per_run.setdefault(int(f["run"]), {})[f["service"]] = statistics.median(lat)
        ratios = [r["Varnix"] / r["VarnixAck"] for r in per_run.values()]
        self.results["roundtrip"] = {
            "pokes_per_block": ROUNDTRIP_POKES,
            "acked": acked,
            "expected": 2 * RUNS * ROUNDTRIP_POKES,
            "varnix_ms": summary([r["Varnix"] for r in per_run.values()], 3),
            "bare_ms": summary([r["VarnixAck"] for r in per_run.values()], 3),
            "ratio": summary(ratios, 3),
        }

    def messages(self):
        self.modem.set_reply("cmgs")
        gap_ms = 300
        recs = self.run_client("message", MESSAGES, gap_ms)
        received = self.modem.received()
        overheads, from_poke, from_ack, pauses = [], [], [], []
        for word, f in recs:
            if word != "msg":
                continue
            t0, t1, t2 = (self.mono(f[k]) for k in ("poke", "ack", "status"))
            overheads.append((t2 - t0 - (2.0 + DELAY_MS / 1000)) * 1e3)
            # The alignment is good to a fraction of a millisecond.
            first = next((t for t, _ in received if t > t0 - 0.001), None)
            if first is None or first > t2:
                raise RuntimeError("no modem byte for a message")
            from_poke.append((first - t0) * 1e3)
            from_ack.append((first - t1) * 1e3)
        # The dialogue's own pauses as the modem saw them: Ctrl-Z to the
        # update is Delay plus the reply's way back and the publication.
        cmds = self.modem.commands()
        for i, (t, c) in enumerate(cmds):
            if c.startswith(b"at+cmgf=0") and i + 2 < len(cmds):
                pauses.append(((cmds[i + 1][0] - t) * 1e3 - 1000,
                               (cmds[i + 2][0] - cmds[i + 1][0]) * 1e3 - 1000))
        self.results["message"] = {
            "delay_ms": DELAY_MS,
            "messages": len(overheads),
            "overhead_ms": summary(overheads),
            "cmgf_to_cmgs_excess_ms": summary([p[0] for p in pauses]),
            "cmgs_to_pdu_excess_ms": summary([p[1] for p in pauses]),
        }
        self.results["idle_start"] = {
            "from_poke_ms": summary(from_poke, 3),
            "from_ack_ms": summary(from_ack, 3),
        }

    def idle_cpu(self, pid):
        server = wineserver_pid(self.prefix.path)
        windows = []
        server_windows = []
        time.sleep(1.0)
        left = IDLE_S
        while left > 0:
            span = min(10, left)
            a, sa, ta = cpu_ticks(pid), cpu_ticks(server) if server else 0, time.monotonic()
            time.sleep(span)
            b, sb, tb = cpu_ticks(pid), cpu_ticks(server) if server else 0, time.monotonic()
            windows.append((b - a) / CLK_TCK / (tb - ta) * 100)
            server_windows.append((sb - sa) / CLK_TCK / (tb - ta) * 100)
            left -= span
        self.results["idle_cpu"] = {
            "seconds": IDLE_S,
            "varnix_percent": round(statistics.fmean(windows), 3),
            "varnix_windows_percent": summary(windows, 3),
            "wineserver_percent": round(statistics.fmean(server_windows), 3) if server else None,
            "wineserver_windows_percent": summary(server_windows, 3) if server else None,
            "clk_tck": CLK_TCK,
        }

    def burst_round(self, service):
        watcher = self.start_client("watch", BURST, 300000, service)
        if not watcher.wait_for_output("ready", 60):
            raise RuntimeError("watcher not ready: " + watcher.output())
        recs = self.run_client("burst", BURST, service)
        return watcher, recs

    def burst(self, pid, rounds):
        rx_before = len(self.modem.received_bytes())
        rss0 = mem_kb(pid)
        out = []
        for r in range(rounds):
            watcher, recs = self.burst_round("Varnix")
            after_pokes = mem_kb(pid)
            watcher.wait(400)
            w = dict(next(f for word, f in parse(watcher.output()) if word == "watched"))
            time.sleep(1.0)
            drained = mem_kb(pid)
            f = next(f for word, f in recs if word == "burst")
            lat = [int(x) / self.freq * 1e3 for x in f["lat"].split(",")]
            start, end = int(f["start"]), int(f["end"])
            last = int(w["last"])
            out.append({
                "acked": int(f["acked"]),
                "status_updates": int(w["n"]),
                "pokes_s": round((end - start) / self.freq, 3),
                "drained_s": round((max(last, end) - start) / self.freq, 3),
                "p50_ms": round(percentile(lat, 50), 3),
                "p99_ms": round(percentile(lat, 99), 3),
                "max_ms": round(max(lat), 3),
                "rss_kb_after_pokes": after_pokes["VmRSS"],
                "rss_kb_drained": drained["VmRSS"],
                "growth_kb": drained["VmRSS"] - rss0["VmRSS"],
            })
        end_mem = mem_kb(pid)
        # The same against the bare server, which publishes "0" to Status on
        # every Send poke too: what the platform's advise path costs alone.
        bare0 = mem_kb(self.ack_pid)["VmRSS"]
        watcher, recs = self.burst_round("VarnixAck")
        watcher.wait(400)
        w = dict(next(f for word, f in parse(watcher.output()) if word == "watched"))
        time.sleep(1.0)
        bare = {"growth_kb": mem_kb(self.ack_pid)["VmRSS"] - bare0,
                "acked": int(next(f for word, f in recs if word == "burst")["acked"]),
                "status_updates": int(w["n"])}
        self.results["burst"] = {
            "bare": bare,
            "pokes": BURST,
            "rounds": out,
            "rss_kb_before": rss0["VmRSS"],
            "hwm_kb_before": rss0["VmHWM"],
            "hwm_kb_after": end_mem["VmHWM"],
            "modem_bytes": len(self.modem.received_bytes()) - rx_before,
        }

    def close_once(self, pid, command="close"):
        fd = os.pidfd_open(pid)
        ended = {}

        def wait_end():
            select.select([fd], [], [], 120)
            ended["t"] = time.monotonic()

        th = threading.Thread(target=wait_end, daemon=True)
        th.start()
        recs = self.run_client(command, 20000)
        th.join(130)
        os.close(fd)
        if command == "close":
            self.app.wait(30)
        f = next(f for word, f in recs if word == "close")
        confirmed = self.mono(f["confirmed"])
        return ((ended["t"] - confirmed) * 1e3, (self.mono(f["window_gone"]) - confirmed) * 1e3)

    def size(self):
        size = self.exe.stat().st_size
        dump = subprocess.run(["x86_64-w64-mingw32-objdump", "-p", str(self.exe)],
                              capture_output=True, text=True, check=True).stdout
        self.commands.append(f"x86_64-w64-mingw32-objdump -p {self.exe}")
        dlls = sorted({ln.split(":", 1)[1].strip() for ln in dump.splitlines()
                       if "DLL Name:" in ln})
        foreign = [d for d in dlls if d.lower() not in WINDOWS_DLLS]
        with tempfile.TemporaryDirectory() as d:
            stripped = pathlib.Path(d) / "Varnix.exe"
            subprocess.run(["x86_64-w64-mingw32-strip", "-o", str(stripped), str(self.exe)],
                           check=True)
            stripped_size = stripped.stat().st_size
        self.commands.append("x86_64-w64-mingw32-strip -o <tmp>/Varnix.exe Varnix.exe")
        siblings = sorted(p.name for p in self.exe.parent.glob("*.dll"))
        self.results["size"] = {
            "bytes": size,
            "stripped_bytes": stripped_size,
            "imports": dlls,
            "foreign_imports": foreign,
            "dlls_beside_exe": siblings,
        }

    # -- the whole run ------------------------------------------------------

    def run(self):
        template = os.environ["VARNIX_PREFIX_TEMPLATE"]
        t_start = time.monotonic()
        self.size()
        self.prefix = WinePrefix.copy_of(template, self.workdir / "prefix")
        try:
            self.modem = SimModem.start(self.workdir / "modem")
            self.commands.append("/usr/bin/python3 tools/simmodem/simmodem.py --dir <run>/modem "
                                 "--link <run>/modem/ttyV0 &")
            map_com_ports(self.prefix, modem_ports(self.modem, 1))
            self.commands.append(r"wine reg import: HKLM\Software\Wine\Ports COM1=<run>/modem/"
                                 "ttyV0, COM2..COM9 = a missing device; wineserver -k")
            self.write_settings(Port=1, Bit=8, Stop=1, Parity=0, Baud=9600, Delay=DELAY_MS)
            self.commands.append("wine reg import: " + SETTINGS_KEY_32 +
                                 f" Port=1 Bit=8 Stop=1 Parity=0 Baud=9600 Delay={DELAY_MS}")
            self.commands.append("wineserver -p")
            # One wineserver for the whole run, so that no program pays for
            # starting it.
            subprocess.run(["wineserver", "-p"], env=self.prefix.env, timeout=30,
                           stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)
            self.clock()
            self.commands.append("wine VarnixAck.exe &")
            self.ack = self.prefix.start(self.ack_exe)
            self.ack_pid = self.windows_pid(self.ack, "VarnixAck.exe")
            pid = self.start_varnix()
            self.roundtrip()
            self.messages()
            self.idle_cpu(pid)
            self.burst(pid, BURST_ROUNDS)
            closes = [self.close_once(pid)]
            for _ in range(RUNS - 1):
                pid = self.start_varnix()
                closes.append(self.close_once(pid))
            # The floor: a program with one window and a DDEML service that
            # ends the plain way on WM_CLOSE.
            bare = [self.close_once(self.ack_pid, "close-bare")]
            self.ack.wait(30)
            for _ in range(RUNS - 1):
                self.commands.append("wine VarnixAck.exe &")
                self.ack = self.prefix.start(self.ack_exe)
                bare.append(self.close_once(self.windows_pid(self.ack, "VarnixAck.exe"),
                                            "close-bare"))
                self.ack.wait(30)
            self.results["close"] = {
                "process_end_ms": summary([c[0] for c in closes]),
                "window_gone_ms": summary([c[1] for c in closes]),
                "bare_process_end_ms": summary([c[0] for c in bare]),
                "bare_window_gone_ms": summary([c[1] for c in bare]),
            }
        finally:
            if self.modem is not None:
                self.modem.stop()
            self.prefix.shutdown()
        self.results["elapsed_s"] = round(time.monotonic() - t_start, 1)
        self.results["runs"] = RUNS
        self.results["commands"] = self.commands
        return self.results


def cpu_ticks(pid):
    fields = pathlib.Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    # utime and stime are fields 14 and 15 of the whole line.
    return int(fields[11]) + int(fields[12])


def mem_kb(pid):
    out = {}
    for ln in pathlib.Path(f"/proc/{pid}/status").read_text().splitlines():
        k, _, v = ln.partition(":")
        if k in ("VmRSS", "VmHWM"):
            out[k] = int(v.split()[0])
    return out


def wineserver_pid(prefix_path):
    """The wineserver of this prefix: its environment names the prefix."""
    want = f"WINEPREFIX={prefix_path}".encode()
    for p in pathlib.Path("/proc").iterdir():
        if not p.name.isdigit():
            continue
        try:
            # wineserver64 on Debian.
            if not (p / "comm").read_text().startswith("wineserver"):
                continue
            if want in (p / "environ").read_bytes().split(b"\0"):
                return int(p.name)
        except OSError:
            continue
    return None


def run_and_report(bench_class, subdir, json_env, report_module):
    """Runs one benchmark in its own folder of the run, prints its results as
    JSON, writes them to $<json_env> when set, and has `report_module`
    rewrite its part of $VARNIX_BENCH_OUT."""
    build = os.environ["VARNIX_BENCH_BUILD"]
    run_dir = pathlib.Path(os.environ.get("VARNIX_RUN_DIR") or tempfile.mkdtemp())
    workdir = run_dir / subdir
    if workdir.exists():
        shutil.rmtree(workdir)
    workdir.mkdir(parents=True)
    results = bench_class(workdir, build).run()
    results["machine"] = machine()
    text = json.dumps(results, indent=1)
    out_json = os.environ.get(json_env)
    if out_json:
        pathlib.Path(out_json).write_text(text + "\n")
    print(text)
    md = os.environ.get("VARNIX_BENCH_OUT")
    if md:
        importlib.import_module(report_module).rewrite(pathlib.Path(md), results)
        keep_and_glance(md, "all" if subdir == "bench" else subdir[len("bench-"):], results)
    return 0


def keep_and_glance(md, mode, results):
    """Keeps the results of a run that rewrote its section of `md` for the
    table at the top (VARNIX_BENCH_RESULTS), and rewrites that table."""
    import glance
    folder = os.environ.get("VARNIX_BENCH_RESULTS")
    glance.store(folder, mode, results)
    glance.update(md, folder)


def main():
    return run_and_report(Bench, "bench", "VARNIX_BENCH_JSON", "report")


def machine():
    cpu = "unknown"
    for ln in pathlib.Path("/proc/cpuinfo").read_text().splitlines():
        if ln.startswith("model name"):
            cpu = ln.split(":", 1)[1].strip()
            break
    wine = subprocess.run(["wine", "--version"], capture_output=True, text=True).stdout.strip()
    return {
        "date": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC"),
        "nproc": os.cpu_count(),
        "cpu": cpu,
        "wine": wine,
        "kernel": platform.release(),
        "load_before": os.getloadavg()[0],
    }


if __name__ == "__main__":
    sys.exit(main())
