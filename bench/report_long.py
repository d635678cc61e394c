"""Writes the section of docs/performance.md on the two modem dialogues from
the results of bench/perf_long.py. The section lies between two markers, so
a run of either benchmark leaves the other's text as it was."""
import sections

SPEEDUP_TARGET = 2.0
OWN_TARGET_MS = 20

BEGIN = "<!-- dialogues:begin -->"
END = "<!-- dialogues:end -->"


def _range(s, unit="", digits=1):
    f = lambda x: f"{x:.{digits}f}"  # noqa: E731
    return (f"{f(s['median'])}{unit} (min {f(s['min'])}, max {f(s['max'])}, "
            f"IQR {f(s['q1'])}–{f(s['q3'])}, n={s['n']})")


def modem_time_ms(r, parts=5):
    """What the simulated modem itself takes for a message of `parts` parts:
    its answer to AT+CMGF=0, then per part the prompt and the result."""
    m = r["modem"]
    return m["cmgf_ms"] + parts * (m["prompt_ms"] + m["result_ms"])


def five_part_target_ms(r):
    # The modem's own time plus the worker's allowance of OWN_TARGET_MS a part.
    return modem_time_ms(r) + 5 * OWN_TARGET_MS


def speedup_ok(r):
    return r["speedup"] >= SPEEDUP_TARGET


def five_part_ok(r):
    return r["prompt"]["five_part"]["first_byte_to_status_ms"] <= five_part_target_ms(r)


def own_ok(r):
    return r["prompt"]["five_part"]["own_per_part_ms"]["median"] <= OWN_TARGET_MS


def _verdict(ok):
    return "met" if ok else "**MISSED**"


def render(r):
    c, p, m = r["classic"], r["prompt"], r["modem"]
    own = p["five_part"]["own_per_part_ms"]
    react = p["one_part"]["reaction_ms"]
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
        f"| One-part messages per minute (back to back, {c['one_part']['messages']} each) "
        f"| prompt-driven ≥ {SPEEDUP_TARGET:.0f}× classic with this modem "
        f"| {c['one_part']['per_minute']:.1f} | {p['one_part']['per_minute']:.1f} "
        f"({r['speedup']:.2f}×): {_verdict(speedup_ok(r))} |",
        f"| Time from one message's at+cmgf=0 to the next | — "
        f"| {_range(c['one_part']['period_ms'], ' ms')} "
        f"| {_range(p['one_part']['period_ms'], ' ms')} |",
        f"| 5-part message: first byte → Status advise | prompt-driven ≤ the modem's own "
        f"{modem_time_ms(r):.0f} ms + {OWN_TARGET_MS} ms a part = "
        f"{five_part_target_ms(r):.0f} ms "
        f"| {c['five_part']['first_byte_to_status_ms']:.0f} ms (fixed pauses) "
        f"| {p['five_part']['first_byte_to_status_ms']:.0f} ms: {_verdict(five_part_ok(r))} |",
        f"| 5-part message: at+cmgs to the next at+cmgs | — "
        f"| {_range(c['five_part']['part_period_ms'], ' ms')} "
        f"| {_range(p['five_part']['part_period_ms'], ' ms')} |",
        f"| Prompt-driven worker's own time per part (the answer before its at+cmgs → "
        f"at+cmgs, plus prompt → PDU) | ≤ {OWN_TARGET_MS} ms | — | {_range(own, ' ms', 2)}: "
        f"{_verdict(own_ok(r))} |",
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
        "The targets: with this modem the classic dialogue's fixed pauses (1000 ms after "
        "AT+CMGF=0 and after AT+CMGS, Delay after the PDU) cost 4 s a message whatever the "
        "modem does, while the prompt-driven one waits only for the modem's answers "
        f"({m['cmgf_ms']:.0f} + {m['prompt_ms']:.0f} + {m['result_ms']:.0f} ms), so it "
        f"must deliver at least {SPEEDUP_TARGET:.0f}× the messages per minute; a 5-part "
        "message may take no longer than the modem's own answers plus the worker's "
        f"allowance of {OWN_TARGET_MS} ms a part.",
        "",
        "    bench/run.sh long     # VARNIX_BENCH_LONG_MESSAGES (default 8)",
        END,
    ]
    return "\n".join(lines) + "\n"


def rewrite(path, results):
    sections.rewrite(path, "dialogues", render(results))
