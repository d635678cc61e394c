"""The table "Capabilities at a glance" at the top of docs/performance.md:
one row per figure that has a target, each from the last run of its mode,
as kept in bench/results/<mode>.json. Every mode of bench/run.sh stores its
results there and rewrites this table, so it always shows the last run of
every mode side by side.

    python3 bench/glance.py [docs/performance.md [bench/results]]

rewrites the table from the stored results alone."""
import json
import pathlib
import sys

import sections

ROOT = pathlib.Path(__file__).resolve().parents[1]
# The modes in the order of their rows.
MODES = ("long", "log", "outbox", "inbox", "memory", "all")
KB = 1024


def _v(ok):
    return "met" if ok else "**MISSED**"


def rows_long(r):
    import report_long as rl
    c, p = r["classic"]["one_part"], r["prompt"]["one_part"]
    five = r["prompt"]["five_part"]
    own = five["own_per_part_ms"]
    return [
        ("One-part messages per minute, prompt-driven against classic, same modem and run",
         f"≥ {rl.SPEEDUP_TARGET:.0f}×",
         f"{p['per_minute']:.1f} against {c['per_minute']:.1f} ({r['speedup']:.2f}×)",
         rl.speedup_ok(r)),
        ("5-part message, prompt-driven: first byte → Status advise",
         f"≤ {rl.five_part_target_ms(r):.0f} ms (the modem's {rl.modem_time_ms(r):.0f} ms "
         f"+ {rl.OWN_TARGET_MS} ms a part)",
         f"{five['first_byte_to_status_ms']:.0f} ms", rl.five_part_ok(r)),
        ("Prompt-driven worker's own time per part", f"≤ {rl.OWN_TARGET_MS} ms",
         f"{own['median']:.2f} ms (median, n={own['n']})", rl.own_ok(r)),
    ]


def rows_log(r):
    spread = min(r[k]["q3"] - r[k]["q1"] for k in ("log0", "log7"))
    noise = "; within the noise: IQR " + f"{spread:.2f} ms or more" if abs(r["extra_ms"]) < spread \
        else ""
    return [("What Log 7 adds to the worker's own time per part", "≤ 1 ms",
             f"{r['extra_ms']:+.2f} ms (difference of the medians{noise})", r["extra_ms"] <= 1.0)]


def rows_outbox(r):
    import report_outbox as ro
    out = []
    for tag in ro.poke_tags(r):
        d = r["outbox_extra_ms" + tag]
        out.append((
            f"What the journal adds to a Send poke {ro.WHILE[tag]}, Outbox 1 against Outbox 0, "
            "same run", f"≤ {ro.POKE_TARGET_MS:.0f} ms",
            f"{d['median']:.2f} ms (median of {d['n']} rounds; poke "
            f"{r['send_poke_ms_outbox0' + tag]['median']:.2f} → "
            f"{r['send_poke_ms_outbox1' + tag]['median']:.2f} ms)", ro.poke_ok(r, tag)))
    return out + [
        (f"Recovering {r['recover']} journaled messages at start-up",
         f"≤ {ro.RECOVERY_TARGET_S:.0f} s",
         f"{r['recovery_of_10000_s']:+.3f} s (medians of {r['start_to_queue_s_full']['n']} "
         f"starts each: {r['start_to_queue_s_full']['median']:.3f} s full, "
         f"{r['start_to_queue_s_empty']['median']:.3f} s empty"
         + ("; within the noise of a start)" if abs(r["recovery_of_10000_s"])
            < ro.recovery_noise(r) else ")"),
         ro.recovery_ok(r)),
    ]


def rows_inbox(r):
    a = r["store_to_advise_s"]
    target = r["receive_s"] + 0.1
    return [(f"Received message: stored on the SIM → `Inbox` advise, Receive {r['receive_s']}",
             f"≤ {target:.1f} s (the interval + 100 ms)",
             f"max {a['max']:.2f} s, median {a['median']:.2f} s (n={a['n']})",
             a["max"] <= target)]


def rows_memory(r):
    import report_memory as rm
    out = []
    for o in rm.settings(r):
        x = r[f"outbox{o}"]
        out.append((f"Memory with {r['messages']} messages queued and waiting, Outbox {o}",
                    f"≤ {r['target_mb']} MB above the idle process",
                    f"{x['growth_kb'] / KB:.1f} MB ({x['idle_kb'] / KB:.1f} → "
                    f"{x['queued_kb'] / KB:.1f} MB VmRSS)", rm.verdict(r, o)))
    return out


def rows_all(r):
    import report
    return [(figure, target, measured.split(";")[0], ok)
            for figure, target, measured, ok, *_ in report.rows(r) if ok is not None]


ROWS = {"long": rows_long, "log": rows_log, "outbox": rows_outbox, "inbox": rows_inbox,
        "memory": rows_memory, "all": rows_all}


def store(results_dir, mode, results):
    if not results_dir:
        return
    d = pathlib.Path(results_dir)
    d.mkdir(parents=True, exist_ok=True)
    (d / f"{mode}.json").write_text(json.dumps(results, indent=1, ensure_ascii=False) + "\n")


def render(results_dir):
    begin, end = sections.markers("glance")
    lines = [begin, "## Capabilities at a glance", "",
             "Each row from the last run of its mode (`bench/run.sh <mode>`); the sections "
             "below give the details and how each figure is taken.", "",
             "| Figure | Target | Measured | Verdict | Run |", "|---|---|---|---|---|"]
    missing = []
    for mode in MODES:
        path = pathlib.Path(results_dir) / f"{mode}.json"
        if not path.exists():
            missing.append(mode)
            continue
        r = json.loads(path.read_text())
        when = f"`{mode}`, {r['machine']['date']}, load {r['machine']['load_before']:.1f}"
        for figure, target, measured, ok in ROWS[mode](r):
            lines.append(f"| {figure} | {target} | {measured} | {_v(ok)} | {when} |")
    if missing:
        lines += ["", "Not run since the results were first kept: " +
                  ", ".join(f"`bench/run.sh {m}`" for m in missing) +
                  (" (the first release's table below has its own verdicts)"
                   if "all" in missing else "") + "."]
    lines.append(end)
    return "\n".join(lines) + "\n"


def update(md_path, results_dir):
    if not md_path or not results_dir:
        return
    sections.rewrite(md_path, "glance", render(results_dir))


def main(argv):
    md = argv[1] if len(argv) > 1 else ROOT / "docs" / "performance.md"
    results = argv[2] if len(argv) > 2 else ROOT / "bench" / "results"
    update(md, results)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
