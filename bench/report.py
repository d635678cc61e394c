"""Writes docs/performance.md from the results of bench/perf.py."""
import pathlib

KB = 1024


def _range(s, unit="", digits=None):
    fmt = (lambda x: f"{x:.{digits}f}") if digits is not None else str
    return (f"{fmt(s['median'])}{unit} (min {fmt(s['min'])}, max {fmt(s['max'])}, "
            f"IQR {fmt(s['q1'])}–{fmt(s['q3'])}, n={s['n']})")


def _verdict(ok):
    return "met" if ok else "**MISSED**"


def rows(r):
    """(figure, target, measured, met?) for every benchmark."""
    out = []
    rt = r["roundtrip"]
    out.append(("DDE poke round trip, Varnix / bare DDEML server",
                "≤ 1.3×",
                _range(rt["ratio"], "×", 2) +
                f"; Varnix {rt['varnix_ms']['median']:.3f} ms, bare "
                f"{rt['bare_ms']['median']:.3f} ms per poke; "
                f"{rt['acked']}/{rt['expected']} acknowledged",
                rt["ratio"]["median"] <= 1.3 and rt["acked"] == rt["expected"],
                rt["ratio"]["max"] > 1.3))
    m = r["message"]
    out.append(("Send poke → Status advise, minus 2000 ms + Delay",
                "≤ 20 ms",
                _range(m["overhead_ms"], " ms", 1) + f" (Delay {m['delay_ms']} ms)",
                m["overhead_ms"]["median"] <= 20, m["overhead_ms"]["max"] > 20))
    i = r["idle_start"]
    out.append(("Idle start: Send poke → first modem byte",
                "≤ 10 ms",
                _range(i["from_poke_ms"], " ms", 2) +
                f"; from the poke's acknowledgement {i['from_ack_ms']['median']:.2f} ms",
                i["from_poke_ms"]["median"] <= 10, i["from_poke_ms"]["max"] > 10))
    c = r["close"]
    out.append(("Confirmed close → end of the process (idle)",
                "≤ 200 ms",
                _range(c["process_end_ms"], " ms", 1) +
                f"; main window gone after {c['window_gone_ms']['median']:.1f} ms. The bare "
                f"server's end after WM_CLOSE: {_range(c['bare_process_end_ms'], ' ms', 1)}",
                c["process_end_ms"]["median"] <= 200, c["process_end_ms"]["max"] > 200))
    b = r["burst"]
    rounds = b["rounds"]
    growth = max(x["growth_kb"] for x in rounds)
    all_in = all(x["acked"] == b["pokes"] and x["status_updates"] == b["pokes"]
                 for x in rounds)
    each = lambda f: " / ".join(f(x) for x in rounds)  # noqa: E731
    out.append((f"Burst of {b['pokes']} Send pokes ({len(rounds)} bursts, one after the "
                "other): all acknowledged, none lost",
                "all",
                f"acknowledged {each(lambda x: str(x['acked']))}; Status updates "
                f"{each(lambda x: str(x['status_updates']))} (one per queued entry); "
                f"{b['modem_bytes']} bytes to the modem",
                all_in))
    drained = each(lambda x: format(x["rss_kb_drained"] / KB, ".1f"))
    out.append(("Burst: working-set growth (VmRSS of the Varnix process)",
                "≤ 5 MB",
                f"{growth / KB:.2f} MB at most; VmRSS {b['rss_kb_before'] / KB:.1f} MB before, "
                f"{drained} MB after each burst; peak {b['hwm_kb_after'] / KB:.1f} MB. "
                f"The bare server grew by {b['bare']['growth_kb'] / KB:.2f} MB in one such "
                f"burst ({b['bare']['status_updates']} updates)",
                growth <= 5 * KB))
    out.append(("Burst: poke latency, 99th percentile",
                "—",
                f"{each(lambda x: format(x['p99_ms'], '.2f'))} ms (median "
                f"{each(lambda x: format(x['p50_ms'], '.2f'))} ms, max "
                f"{each(lambda x: format(x['max_ms'], '.1f'))} ms); the pokes took "
                f"{each(lambda x: format(x['pokes_s'], '.1f'))} s, the queue was drained "
                f"{each(lambda x: format(x['drained_s'], '.1f'))} s after the first",
                None))
    cpu = r["idle_cpu"]
    server = ""
    if cpu.get("wineserver_percent") is not None:
        server = f"; wineserver meanwhile {cpu['wineserver_percent']:.3f} %"
    out.append((f"CPU time of the idle Varnix process over {cpu['seconds']} s",
                "< 1 % of a core",
                f"{cpu['varnix_percent']:.3f} % (one clock tick is "
                f"{100 / cpu['clk_tck'] / cpu['seconds']:.3f} % of the span; 10 s windows: "
                f"{_range(cpu['varnix_windows_percent'], ' %', 2)}){server}",
                cpu["varnix_percent"] < 1.0, cpu["varnix_windows_percent"]["max"] >= 1.0))
    s = r["size"]
    imports = ", ".join(s["imports"])
    out.append(("Size of Varnix.exe as built (Release)",
                "one file < 600 KB",
                f"{s['bytes'] / 1000:.0f} KB ({s['bytes']} bytes); stripped "
                f"{s['stripped_bytes'] / 1000:.0f} KB; DLLs beside it: "
                f"{', '.join(s['dlls_beside_exe']) or 'none'}",
                s["bytes"] < 600 * 1000 and not s["dlls_beside_exe"]))
    out.append(("Imported DLLs", "only Windows' own",
                imports + (f" (not Windows': {', '.join(s['foreign_imports'])})"
                           if s["foreign_imports"] else ""),
                not s["foreign_imports"]))
    return out


def render(r):
    mach = r["machine"]
    clk = r["clock"]
    table = ["| Figure | Target | Measured: median (min, max, IQR, n) | Verdict |",
             "|---|---|---|---|"]
    missed = []
    outliers = []
    for figure, target, measured, ok, *worst in rows(r):
        table.append(f"| {figure} | {target} | {measured} | "
                     f"{'—' if ok is None else _verdict(ok)} |")
        if ok is False:
            missed.append(f"- {figure}: target {target}, measured {measured}.")
        elif worst and worst[0]:
            outliers.append(f"- {figure}: the median meets {target}, but the worst "
                            "repetition does not (see the table).")
    counts = {}
    for c in r["commands"]:
        counts[c] = counts.get(c, 0) + 1
    commands = "\n".join(f"    {c}" + (f"    # {n} times" if n > 1 else "")
                         for c, n in counts.items())
    b = r["burst"]
    per_burst = (b["rounds"][-1]["rss_kb_drained"] - b["rss_kb_before"]) / len(b["rounds"])
    bare_growth = b["bare"]["growth_kb"]
    memory_note = (
        f"Memory: Varnix grew by {per_burst:.0f} KB per burst of {b['pokes']} messages "
        f"on average ({per_burst * KB / b['pokes']:.0f} bytes per message), the bare "
        f"server by {bare_growth} KB for as many advise updates "
        f"({bare_growth * KB / b['pokes']:.0f} bytes each). ")
    if bare_growth > 0 and per_burst <= 1.5 * bare_growth:
        memory_note += ("The growth comes with the advise updates in Wine's DDEML, "
                        "which any server pays; the gateway adds no growth of its own "
                        "that this measurement can tell apart.")
    else:
        memory_note += ("The gateway grows by more than the platform's advise path "
                        "explains.")
    if abs(clk["offset_monotonic_raw_ms"]) < 1.0:
        same_clock = ("Wine 8.0 reads the counter from the host's `CLOCK_MONOTONIC_RAW`, "
                      "not from `CLOCK_MONOTONIC`, which Python's `time.monotonic()` and "
                      "the modem's log use; the two host clocks drift apart with the "
                      "time adjustments since boot, hence the measured offset.")
    elif abs(clk["offset_monotonic_ms"]) < 1.0:
        same_clock = "The counter is the host's `CLOCK_MONOTONIC`."
    else:
        same_clock = "The counter matches neither host clock; only the offset aligns them."
    missed_text = "\n".join(missed) if missed else "None: every median meets its target."
    if outliers:
        missed_text += ("\n\nSingle repetitions beyond a target (the machine was shared "
                        "with other work, see the load average above):\n\n" +
                        "\n".join(outliers))
    return f"""# Performance

## The first release's figures

Measured by `bench/run.sh` (`all`) on {mach['date']}; rewritten by every full run.

Machine: {mach['nproc']} cores, {mach['cpu']}, Linux {mach['kernel']}, {mach['wine']}
(load average {mach['load_before']:.2f} when the run began; other work on
the machine shares the cores). Everything runs under Wine on one Xvfb
display and one Wine prefix, with the simulated modem on COM1 answering at
once, Delay = {r['message']['delay_ms']} ms. {r['runs']} repetitions
(`VARNIX_BENCH_RUNS`); the whole run took {r['elapsed_s']:.0f} s.

### Results

A verdict judges the median over the repetitions.

{chr(10).join(table)}

### Where a target is missed

{missed_text}

### Observations

{memory_note}

### How each figure is taken

All times on the Windows side are `QueryPerformanceCounter` readings of
`bench/varnix-bench.exe`; the modem's log and the process end are read on
the Linux side with `CLOCK_MONOTONIC`. The two are aligned once per run:
the client exchanges 50 UDP datagrams with the driver, which stamps each
with `time.monotonic()`; the exchange with the shortest round trip gives the
offset. In this run `QueryPerformanceCounter` ({clk['freq']} ticks per
second) was {clk['offset_monotonic_raw_ms']:.3f} ms off `CLOCK_MONOTONIC_RAW`
and {clk['offset_monotonic_ms']:.3f} ms off `CLOCK_MONOTONIC`, each ±
{clk['uncertainty_ms']:.3f} ms; round trips {_range(clk['rtt_ms'], ' ms', 3)}.
{same_clock} Cross-process times are therefore good to well under a
millisecond whichever clock each side reads.

- Round trip: one client holds a conversation with Varnix and one with a
  bare DDEML server (`bench/ack_server.cpp`, service "VarnixAck", which
  acknowledges every CF_TEXT poke and does nothing else), both in the same
  prefix. Per repetition it pokes "13800138000" into `Num` 300 times on
  each, the two servers taking turns poke by poke so that the load of the
  machine falls on both alike; the figure is the ratio of the two median
  poke times of a repetition, its spread over the repetitions.
- Message: `Num` and `SMS` set once, then per message a poke of "1" into
  `Send` and the wait for the `Status` advise on the same conversation,
  300 ms idle between messages. Overhead = (advise − poke) − (2000 ms +
  Delay). The modem's view of the fixed pauses: "at+cmgf=0" → "at+cmgs="
  exceeds 1000 ms by {_range(r['message']['cmgf_to_cmgs_excess_ms'], ' ms', 1)},
  "at+cmgs=" → PDU by {_range(r['message']['cmgs_to_pdu_excess_ms'], ' ms', 1)}.
- Idle start: the same messages; from the moment the client starts the
  `Send` poke to the modem's receipt of the first byte of "at+cmgf=0". The
  worker queues the entry before the poke is acknowledged, so the time from
  the acknowledgement can be negative.
- Close: the client posts WM_CLOSE to the main window, waits for the
  "Confirm" box of that process and posts its OK; the driver waits on a
  pidfd of the Varnix process. One close per repetition, each after a fresh
  start. As the floor of what any Wine program pays to end, the bare server
  is closed the same way (WM_CLOSE to its one hidden window, which ends its
  message loop, unregisters the service and returns), once per repetition.
- Burst: a second client holds an advise link on `Status` and counts the
  updates; the first sets `Num` to "x1" (a number the worker refuses
  without a word to the modem) and pokes "1" into `Send` back to back.
  Every poke queues an entry and every entry yields one `Status` update, so
  "none lost" means as many updates as pokes. Memory is VmRSS/VmHWM of the
  Varnix process from /proc, before the bursts and 1 s after the last
  update of each. For comparison one burst goes to the bare server, which
  on every poke of `Send` publishes "0" to its advise links on `Status`
  (DdePostAdvise, answered through XTYP_ADVREQ): its growth is what Wine's
  DDEML keeps per advise update, whatever the server does.
- Idle CPU: utime + stime of the Varnix process from /proc/<pid>/stat over
  windows of 10 s after the messages, with no client connected. Waits under
  Wine go through the wineserver, whose CPU time over the same windows is
  given for information.
- Size: the file size of `Varnix.exe` from the Release build and the
  imports listed by `x86_64-w64-mingw32-objdump -p`.

### Commands

    bench/run.sh          # VARNIX_BENCH_RUNS, VARNIX_BENCH_IDLE_S, VARNIX_BENCH_BURST

which ran, in the prefix of this run (in this order of first use):

{commands}
"""


def rewrite(path, results):
    import sections
    path = pathlib.Path(path)
    # The sections of the other modes are their own; they stay.
    old = path.read_text() if path.exists() else ""
    path.write_text(sections.carry(old, render(results)))
