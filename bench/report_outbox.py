"""Writes the section of docs/performance.md on the outbox from the results
of bench/perf_outbox.py, between its own two markers."""
import sections

from report_long import _range

POKE_TARGET_MS = 2.0
RECOVERY_TARGET_S = 2.0


def poke_ok(r, tag=""):
    return r["outbox_extra_ms" + tag]["median"] <= POKE_TARGET_MS


def poke_tags(r):
    """"" for the pokes while the worker waits, "_busy" while it sends."""
    return [t for t in ("", "_busy") if "outbox_extra_ms" + t in r]


WHILE = {"": "while the worker waits", "_busy": "while the worker sends"}


def recovery_ok(r):
    return r["recovery_of_10000_s"] <= RECOVERY_TARGET_S


def recovery_noise(r):
    """The larger interquartile range of the two sets of starts, in s."""
    return max(r[f"start_to_queue_s_{k}"]["q3"] - r[f"start_to_queue_s_{k}"]["q1"]
               for k in ("empty", "full"))


def render(r):
    begin, end = sections.markers("outbox")
    m = r["machine"]
    e, f = r["start_to_queue_s_empty"], r["start_to_queue_s_full"]
    ce, cf = r["start_to_connect_s_empty"], r["start_to_connect_s_full"]
    n = r["recover"]
    rec = r["recovery_of_10000_s"]
    noise = recovery_noise(r)
    medians = lambda o, tag: ", ".join(  # noqa: E731
        f"{x:.2f}" for x in r[f"round_medians_ms_outbox{o}{tag}"])
    if abs(rec) < noise:
        rec_note = (f"The difference of the medians ({rec:+.3f} s) is smaller than the "
                    f"interquartile range of the starts ({noise:.3f} s at most): the "
                    f"recovery of {n} messages cannot be told apart from the noise of a start "
                    "on this machine; it costs less than that.")
    else:
        rec_note = (f"The difference of the medians ({rec:+.3f} s) is larger than the "
                    f"interquartile range of the starts ({noise:.3f} s at most).")
    lines = [
        begin,
        "## The outbox",
        "",
        f"Measured by `bench/run.sh outbox` on {m['date']} ({m['wine']}, {m['nproc']} cores, "
        f"load {m['load_before']:.2f} before), {r['elapsed_s']} s, prompt-driven dialogue, "
        "both settings in the same run against the same modem. For the starts and the first "
        "pokes it answers AT+CMGF=0 but never shows its prompt, so the worker waits and the "
        "queue stays as it is; for the second pokes it prompts and answers at once.",
        "",
        "| Figure | Target | Outbox 0 | Outbox 1 | Verdict |",
        "|---|---|---|---|---|",
    ]
    for tag in poke_tags(r):
        a, b = r["send_poke_ms_outbox0" + tag], r["send_poke_ms_outbox1" + tag]
        d = r["outbox_extra_ms" + tag]
        lines += [
            f"| A Send poke that queues a message, poke to answer, all pokes, {WHILE[tag]} "
            f"| — | {_range(a, ' ms', 2)} | {_range(b, ' ms', 2)} | — |",
            f"| The same, median of each round ({r['rounds']} rounds of {r['pokes']} pokes) "
            f"| — | {medians(0, tag)} ms | {medians(1, tag)} ms | — |",
            f"| What the journal adds to a Send poke {WHILE[tag]}: per round, the Outbox 1 "
            f"median minus the Outbox 0 median | ≤ {POKE_TARGET_MS:.0f} ms | — | "
            f"{_range(d, ' ms', 2)} | {'met' if poke_ok(r, tag) else '**MISSED**'} |",
        ]
    lines += [
        f"| Start until `Queue` reads what the journal holds, empty journal / {n} waiting "
        f"({r['journal_bytes']} bytes), {e['n']} starts each | — | {_range(e, ' s', 3)} | "
        f"{_range(f, ' s', 3)} | — |",
        f"| Start until the service answers a connect, the same starts | — | "
        f"{_range(ce, ' s', 3)} | {_range(cf, ' s', 3)} | — |",
        f"| Recovering {n} journaled messages: the difference of the two medians | "
        f"≤ {RECOVERY_TARGET_S:.0f} s | — | {rec:+.3f} s | "
        f"{'met' if recovery_ok(r) else '**MISSED**'} |",
        "",
        rec_note,
        "",
        "How the figures are taken. The pokes: `varnix-bench.exe burst` sets `Num` and "
        "`SMS` once and pokes \"1\" into `Send`, back to back while the worker waits for a "
        "prompt that never comes, 20 ms apart while it sends the messages poked before "
        "(the modem prompts after 20 ms and answers 50 ms after the PDU, and with Outbox 1 "
        "the worker journals each outcome); each time is the client's "
        "`QueryPerformanceCounter` from the start of the transaction to its answer. Each "
        "round is a fresh start of Varnix with an empty journal, once with each setting; the "
        "setting that goes first changes from round to round "
        f"({', '.join(map(str, r['poke_order']))}), so a change of the machine's load falls "
        "on both. With Outbox 1 the poke is answered only after the message's record is "
        "written and flushed to disk (`FlushFileBuffers`, an fsync under Wine): that flush "
        "is the cost, and it is the price of a message that survives a crash the moment its "
        "poke is acknowledged. The starts: `varnix-bench.exe startq` starts Varnix.exe by "
        "`CreateProcess` and asks for `Queue` every 10 ms from the moment the service "
        "answers, until it reads the number of messages of the journal; one clock brackets "
        "the whole start. The journal is written afresh before each start, the empty one "
        "and the full one taking turns "
        f"({', '.join('empty' if c == 0 else 'full' for c in r['start_order'])}); "
        "the process is then killed.",
        "",
        "Until 2026-12-08 this figure was taken otherwise and came out at 5.08 ms, MISSED: "
        "the time between the answers of consecutive pokes of the scriptable DDE client "
        "(`tools/ddeclient`, which prints and settles after every command), one start of "
        "each setting, Outbox 0 always first, with the worker sending at the same time. "
        "The poke's own round trip, paired rounds in turns and medians over them measure "
        "the journal's cost alone, and show it both with the worker idle and with it "
        "writing its own records. The flush is an fsync of this machine's virtual disk; a "
        "PC's own disk may take longer for it.",
        "",
        "The journal's own costs natively (`bench/journal_bench`, native build): an "
        "accepted message appended and flushed, and a load of 10,000; see its output.",
        "",
        "    bench/run.sh outbox   # VARNIX_BENCH_OUTBOX_ROUNDS (default 5), "
        "VARNIX_BENCH_OUTBOX_POKES (default 100)",
        end,
    ]
    return "\n".join(lines) + "\n"


def rewrite(path, results):
    sections.rewrite(path, "outbox", render(results))
