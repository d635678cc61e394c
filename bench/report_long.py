"""Writes the section of docs/performance.md on the two modem dialogues from
the results of bench/perf_long.py. The section lies between two markers, so
a run of either benchmark leaves the other's text as it was."""
import pathlib

BEGIN = "<!-- dialogues:begin -->"
END = "<!-- dialogues:end -->"


def _range(s, unit="", digits=1):
    f = lambda x: f"{x:.{digits}f}"  # noqa: E731
    return (f"{f(s['median'])}{unit} (min {f(s['min'])}, max {f(s['max'])}, "
            f"IQR {f(s['q1'])}–{f(s['q3'])}, n={s['n']})")


def render(r):
    c, p, m = r["classic"], r["prompt"], r["modem"]
    own = p["five_part"]["own_per_part_ms"]
    react = p["one_part"]["reaction_ms"]
    ok = own["median"] <= 20
    lines = [
        BEGIN,
        "## The two modem dialogues",
        "",
        f"Measured by `bench/run.sh long` on {r['machine']['date']} ({r['machine']['wine']}, "
        f"{r['machine']['nproc']} cores, load {r['machine']['load_before']:.2f} before), "
        f"{r['elapsed_s']} s. The simulated modem answers \"OK\" to AT+CMGF=0 "
        f"{m['cmgf_ms']:.0f} ms and shows its prompt {m['prompt_ms']:.0f} ms after the "
        f"command, and answers \"+CMGS\" and \"OK\" {m['result_ms']:.0f} ms after the "
        f"PDU's Ctrl-Z; Delay {m['delay_ms']} ms, Parts 5, both modes in the same run "
        "against the same modem.",
        "",
        "| Figure | Target | Classic | Prompt-driven |",
        "|---|---|---|---|",
        f"| One-part messages per minute (back to back, {c['one_part']['messages']} each) | — "
        f"| {c['one_part']['per_minute']:.1f} | {p['one_part']['per_minute']:.1f} "
        f"({r['speedup']:.2f}×) |",
        f"| Time from one message's at+cmgf=0 to the next | — "
        f"| {_range(c['one_part']['period_ms'], ' ms')} "
        f"| {_range(p['one_part']['period_ms'], ' ms')} |",
        f"| 5-part message: first byte → Status advise | — "
        f"| {c['five_part']['first_byte_to_status_ms']:.0f} ms "
        f"| {p['five_part']['first_byte_to_status_ms']:.0f} ms |",
        f"| 5-part message: at+cmgs to the next at+cmgs | — "
        f"| {_range(c['five_part']['part_period_ms'], ' ms')} "
        f"| {_range(p['five_part']['part_period_ms'], ' ms')} |",
        f"| Prompt-driven worker's own time per part (the answer before its at+cmgs → "
        f"at+cmgs, plus prompt → PDU) | ≤ 20 ms | — | {_range(own, ' ms', 2)}: "
        f"{'met' if ok else '**MISSED**'} |",
        "",
        "The prompt-driven worker's reactions, each from the modem's last bytes to the "
        "worker's next write, one-part messages:",
        "",
    ]
    for key, s in react.items():
        lines.append(f"- {key.replace('_', ' ')}: {_range(s, ' ms', 2)}")
    lines += [
        "",
        "How the figures are taken: every time is the simulated modem's own "
        "CLOCK_MONOTONIC record of a byte it received or wrote, except the end of a "
        "message, which is the Status advise's millisecond as the DDE client printed "
        "it. The messages of a batch are poked in one conversation, so they wait in "
        "the queue together and the worker's idle poll does not count. A message per "
        "minute is 60 s times the number of gaps between the first and the last "
        "message's at+cmgf=0 over that time. These figures are taken under Wine; on "
        "Windows the runtime raises the timer period to 1 ms while the prompt-driven "
        "worker runs, since at the default tick of 15.6 ms each 5 ms poll of the line "
        "reader could cost a whole tick.",
        "",
        "    bench/run.sh long     # VARNIX_BENCH_LONG_MESSAGES (default 8)",
        END,
    ]
    return "\n".join(lines) + "\n"


def rewrite(path, results):
    path = pathlib.Path(path)
    text = path.read_text() if path.exists() else ""
    section = render(results)
    if BEGIN in text and END in text:
        head, rest = text.split(BEGIN, 1)
        tail = rest.split(END, 1)[1].lstrip("\n")
        text = head + section + ("\n" + tail if tail else "")
    else:
        text = text.rstrip("\n") + "\n\n" + section
    path.write_text(text)


def keep(old_text, new_text):
    """new_text with the section of old_text carried over, for the full
    benchmark's rewrite of the whole file."""
    if BEGIN not in old_text or END not in old_text:
        return new_text
    section = BEGIN + old_text.split(BEGIN, 1)[1].split(END, 1)[0] + END + "\n"
    return new_text.rstrip("\n") + "\n\n" + section
