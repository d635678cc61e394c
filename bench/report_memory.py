"""Writes the section of docs/performance.md on the memory of 100,000 queued
messages, from the results of bench/perf_memory.py, between its own two
markers."""
import sections

KB = 1024


def settings(r):
    return sorted(int(k[len("outbox"):]) for k in r if k.startswith("outbox"))


def verdict(r, outbox):
    return r[f"outbox{outbox}"]["growth_kb"] <= r["target_mb"] * KB


def journal_note(r):
    """What Outbox 1 holds beside the queue, when both were measured."""
    if "outbox0" not in r or "outbox1" not in r:
        return []
    extra = r["outbox1"]["bytes_per_message"] - r["outbox0"]["bytes_per_message"]
    heap = abs(r["outbox1"]["file_growth_kb"]) < KB
    return [
        f"With Outbox 1 each waiting message costs {extra:.0f} bytes more than with Outbox 0"
        + (", all of it heap" if heap else "") + ". Besides the queue's entry, the journal's "
        "book of unfinished messages (`JournalBook`, src/outbox/JournalRecord.h) keeps a second "
        "copy of every message in a `std::map` node, each with a map of its parts sent so "
        "far; that copy is the likely share of the difference"
        + (", and what takes Outbox 1 past the target." if not verdict(r, 1)
           and verdict(r, 0) else "."),
        "",
    ]


def render(r):
    begin, end = sections.markers("memory")
    n = r["messages"]
    lines = [
        begin,
        "## Memory with 100,000 queued messages",
        "",
        f"Measured by `bench/run.sh memory` on {r['machine']['date']} ({r['machine']['wine']}, "
        f"{r['machine']['nproc']} cores, load {r['machine']['load_before']:.2f} before), "
        f"{r['elapsed_s']} s; prompt-driven dialogue, Delay {200} ms, a modem that answers "
        "AT+CMGF=0 but never shows its prompt, so that the messages wait in the queue; "
        "each setting in a fresh start against the same modem.",
        "",
        "| Figure | Target | " + " | ".join(f"Outbox {o}" for o in settings(r)) + " |",
        "|---|---|" + "---|" * len(settings(r)),
    ]
    row = lambda label, target, f: (  # noqa: E731
        f"| {label} | {target} | " + " | ".join(f(r[f'outbox{o}'], o) for o in settings(r)) + " |")
    lines += [
        row("VmRSS of the Varnix process, idle after its start", "—",
            lambda x, o: f"{x['idle_kb'] / KB:.1f} MB"),
        row(f"VmRSS with {n} messages accepted and waiting", "—",
            lambda x, o: f"{x['queued_kb'] / KB:.1f} MB (peak {x['queued_hwm_kb'] / KB:.1f} MB)"),
        row(f"Growth for {n} waiting messages", f"≤ {r['target_mb']} MB",
            lambda x, o: f"{x['growth_kb'] / KB:.1f} MB ({x['bytes_per_message']:.0f} bytes "
                         f"per message): {'met' if verdict(r, o) else '**MISSED**'}"),
        row("of which the heap (RssAnon) / mapped files (RssFile)", "—",
            lambda x, o: f"{x['anon_growth_kb'] / KB:+.1f} MB / {x['file_growth_kb'] / KB:+.1f} MB"),
        row("`Queue` read after the reading", f"{n} or a few less",
            lambda x, o: f"{x['queue_read']} ({x['ended_meanwhile']} ended meanwhile, no prompt)"),
        row("Time to accept them (executes of many Send commands)", "—",
            lambda x, o: f"{x['fill_s']:.1f} s ({x['per_execute']} per execute)"),
        row("The journal on disk", "—",
            lambda x, o: f"{x['journal_bytes'] / 1e6:.1f} MB" if x["journal_bytes"] else "none"),
        "",
        *journal_note(r),
        "VmRSS is read from /proc/<pid>/status of the Varnix process, the median of three "
        "readings 1 s apart: 2 s after the modem's initialisation, and again 2 s after the "
        "last execute was answered. The messages are accepted by `varnix-bench.exe fill`: "
        "executes of `[Send(\"13800138000\",\"memory bench 000001\")]...`, one after the "
        "other, in one conversation. With Outbox 1 each accepted message is journaled and "
        "flushed before its execute is answered, hence the smaller executes and the longer "
        "time. The worker gives up on one message every 5 s (no prompt), so a handful of "
        "them have ended by the time `Queue` is read.",
        "",
        "    bench/run.sh memory   # VARNIX_BENCH_MEMORY_MESSAGES (default 100000), "
        "VARNIX_BENCH_MEMORY_OUTBOX (default 0,1)",
        end,
    ]
    return "\n".join(lines) + "\n"


def rewrite(path, results):
    sections.rewrite(path, "memory", render(results))
