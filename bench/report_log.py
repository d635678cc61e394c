"""Writes the section of docs/performance.md on what the log costs the
prompt-driven worker, from the results of bench/perf_log.py, between its
own two markers, so that the other benchmarks' text stays as it was."""
import sections

from report_long import _range

BEGIN = "<!-- log:begin -->"
END = "<!-- log:end -->"


def spread_note(r):
    """Whether the difference means anything next to the samples' spread."""
    spread = min(r[k]["q3"] - r[k]["q1"] for k in ("log0", "log7"))
    if abs(r["extra_ms"]) < spread:
        return (f"The difference of the medians ({r['extra_ms']:+.2f} ms) is smaller than the "
                f"interquartile range of either setting ({spread:.2f} ms or more) at this load: "
                "no cost of the log can be told apart from the machine's own noise.")
    return (f"The difference of the medians ({r['extra_ms']:+.2f} ms) is larger than the "
            f"interquartile range of the quieter setting ({spread:.2f} ms).")


def render(r):
    m = r["modem"]
    ok = r["extra_ms"] <= 1.0
    lines = [
        BEGIN,
        "## The log's cost to the prompt-driven worker",
        "",
        f"Measured by `bench/run.sh log` on {r['machine']['date']} ({r['machine']['wine']}, "
        f"{r['machine']['nproc']} cores, load {r['machine']['load_before']:.2f} before), "
        f"{r['elapsed_s']} s: one 5-part message, Dialogue 1, Delay {m['delay_ms']} ms, the "
        f"modem of the dialogues' benchmark (prompt {m['prompt_ms']:.0f} ms, result "
        f"{m['result_ms']:.0f} ms); Log 0 and Log 7 take turns, {r['rounds']} times each, in "
        "the same run.",
        "",
        "| Figure | Target | Log 0 | Log 7 | Difference of the medians |",
        "|---|---|---|---|---|",
        f"| Prompt-driven worker's own time per part, Log 7 against Log 0, same run "
        f"| at most 1 ms more | {_range(r['log0'], ' ms', 2)} | {_range(r['log7'], ' ms', 2)} "
        f"| {r['extra_ms']:+.2f} ms: {'met' if ok else '**MISSED**'} |",
        "",
        spread_note(r),
        "",
        "The own time per part is, from the simulated modem's CLOCK_MONOTONIC record, the "
        "time from its answer to one part to the worker's next at+cmgs plus the time from "
        "its prompt to the PDU. With the log each of those writes and answers is a line "
        "queued for the log's own thread; the worker never waits for the disk.",
        "",
        "    bench/run.sh log      # VARNIX_BENCH_LOG_ROUNDS (default 3)",
        END,
    ]
    return "\n".join(lines) + "\n"


def rewrite(path, results):
    sections.rewrite(path, "log", render(results))
