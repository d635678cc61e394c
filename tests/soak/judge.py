"""The soak's verdict: every check over what the witnesses saw, and the
figures of the run."""
import collections
import datetime
import pathlib
import re

from checks import FINAL, journal_view, log_finals, pdu_repeats
from harness.inbox import inbox_lines, inbox_log as read_inbox_log, unescape


def journal_state(records):
    return journal_view(records)


def is_deliver(pdu_hex):
    o = bytes.fromhex(pdu_hex)
    return o[1 + o[0]] & 0x03 == 0x00


def inbox_log(prefix):
    try:
        return read_inbox_log(prefix)
    except (AssertionError, UnicodeDecodeError):
        return []


def log_lines(prefix):
    folder = pathlib.Path(prefix.path) / "drive_c" / "ProgramData" / "Korva" / "Varnix" / "logs"
    lines = []
    for path in sorted(folder.glob("Varnix-*.log")):
        lines += path.read_bytes().decode("utf-8", "replace").split("\r\n")
    return [l for l in lines if l]


def leftovers(prefix, modem_pid):
    """Processes of this run still alive: any with the prefix in its
    environment, and the simulated modem."""
    want = f"WINEPREFIX={prefix.path}".encode()
    left = []
    for entry in pathlib.Path("/proc").iterdir():
        if not entry.name.isdigit():
            continue
        try:
            environ = (entry / "environ").read_bytes().split(b"\0")
            stat = (entry / "stat").read_text()
        except OSError:
            continue
        if stat.rsplit(")", 1)[1].split()[0] == "Z":
            continue
        if want in environ or int(entry.name) == modem_pid:
            left.append(int(entry.name))
    return left


def judge(soak, v, left, error):
    v.check(error is None, f"the run itself: {error}")
    v.check(not left, f"processes left behind: {left}")
    for s in getattr(soak, "senders", []):
        v.check(s.error is None, f"sender {s.n}: {s.error}")
    v.check(soak.tail.error is None, f"reading the journal: {soak.tail.error}")
    records = soak.tail.records
    texts, finals = journal_view(records)
    f = v.figures
    f["seconds"] = round(soak.events[-1][0], 1) if soak.events else None
    f["journal files"] = soak.tail.files
    f["journal records"] = len(records)
    f["journal torn lines"] = soak.tail.torn
    ids = sorted(texts)
    f["accepted ids"] = len(ids)
    if not v.check(ids, "no message was accepted"):
        return
    v.check(ids == list(range(1, ids[-1] + 1)), "the ids are not 1..n without a gap")

    # The clients' view: each message acknowledged once with its own id,
    # each uncertain one accepted once at most.
    senders = getattr(soak, "senders", [])
    acked = {t: i for s in senders for t, i in s.accepted.items()}
    uncertain = {t for s in senders for t in s.uncertain}
    f["acknowledged to clients"] = len(acked)
    f["uncertain at the kill"] = len(uncertain)
    f["not sent before the kill, sent again"] = sum(s.resent for s in senders)
    wrong = [(t, i, texts.get(i)) for t, i in acked.items() if texts.get(i) != t]
    v.check(not wrong, f"acknowledged ids not journaled with their text: {wrong[:5]}")
    per_tag = collections.Counter(texts.values())
    twice = [t for t, n in per_tag.items() if n > 1]
    v.check(not twice, f"messages accepted twice: {twice[:5]}")
    lost = set(per_tag) - set(acked) - uncertain
    v.check(not lost, f"accepted although no client sent them: {sorted(lost)[:5]}")
    planned = {m.tag for ms in soak.messages for m in ms}
    v.check(set(acked) | uncertain == planned,
            f"messages never submitted: {sorted(planned - set(acked) - uncertain)[:5]}")

    # One end per id: in the journal, in the log, in Result.
    not_one = {i: finals.get(i, []) for i in ids if len(finals.get(i, [])) != 1}
    v.check(not not_one, f"ids without exactly one end in the journal: {list(not_one.items())[:5]}")
    logged = log_finals(log_lines(soak.prefix))
    not_one = {i: logged.get(i, []) for i in ids if len(logged.get(i, [])) != 1}
    v.check(not not_one, f"ids without exactly one end in the log: {list(not_one.items())[:5]}")
    results = [r for w in soak.watchers for r in w.results()]
    ends = collections.defaultdict(list)
    for i, state, detail in results:
        if state in FINAL:
            ends[i].append(state)
    many = {i: e for i, e in ends.items() if len(e) > 1}
    v.check(not many, f"ids with more than one end in Result: {list(many.items())[:5]}")
    unseen = [i for i in ids if i not in ends]
    f["ids whose end came while no watcher was connected"] = len(unseen)
    v.check(len(unseen) <= 20, f"{len(unseen)} ends not seen in Result: {unseen[:10]}")
    differ = [(i, e, finals[i]) for i, e in ends.items() if finals.get(i) and e != finals[i]]
    v.check(not differ, f"Result and journal disagree: {differ[:5]}")
    states = collections.Counter(e[0] for e in finals.values() if e)
    f["ends"] = dict(states)
    f["Result lines"] = len(results)
    f["retry announcements"] = sum(1 for _, s, _ in results if s == "retry")
    f["delivered"] = sum(1 for _, s, _ in results if s == "delivered")
    f["undelivered"] = sum(1 for _, s, _ in results if s == "undelivered")
    v.check(f["delivered"] > 0, "no message was reported delivered")
    v.check(states.get("sent", 0) >= 0.8 * len(ids), f"too few sent: {dict(states)}")

    # The modem: nothing twice unless the attempt before was safe to repeat.
    pdus = soak.modem.pdus()
    f["PDUs at the modem"] = len(pdus)
    bad, repeats = pdu_repeats(pdus)
    f["PDUs sent again after a temporary error"] = repeats - len(bad)
    v.check(not bad, f"PDUs that reached the modem twice: {bad[:3]}")
    f["unsolicited lines and split replies in dialogues"] = "see the modem log"
    # A full store is the network's to deal with: it delivers again later.
    f["the modem's store found full (delivered again 5 s later)"] = len(
        soak.modem.store_events("store-full"))

    # Incoming: each published once, logged once.
    injected = {m.tag: m for m in soak.injected}
    f["incoming stored"] = len(injected)
    logged_in = inbox_log(soak.prefix)
    by_tag = collections.defaultdict(list)
    for line in logged_in:
        m = re.match(r"in-\d{4}", unescape(line.text))
        by_tag[m.group(0) if m else None].append(line)
    not_once = {t: len(by_tag.get(t, [])) for t in injected if len(by_tag.get(t, [])) != 1}
    v.check(not not_once, f"incoming not logged exactly once: {list(not_once.items())[:5]}")
    wrong = [t for t, m in injected.items() if len(by_tag.get(t, [])) == 1
             and (unescape(by_tag[t][0].text) != m.text or by_tag[t][0].sender != m.sender)]
    v.check(not wrong, f"incoming logged with another text or sender: {wrong[:5]}")
    published = collections.defaultdict(set)
    for w in soak.watchers:
        for value in w.advised("Inbox"):
            for line in inbox_lines(value):
                m = re.match(r"in-\d{4}", unescape(line.text))
                if m:
                    published[m.group(0)].add(line.id)
    not_once = {t: sorted(published.get(t, ())) for t in injected
                if len(published.get(t, ())) != 1}
    v.check(not not_once, f"incoming not published under exactly one id: "
                          f"{list(not_once.items())[:5]}")
    f["incoming published"] = len(published)

    # Memory over time, per process (one before the kill, one after).
    samples = soak.memory.samples
    by_pid = collections.defaultdict(list)
    for t, pid, kb in samples:
        by_pid[pid].append((t, kb))
    f["VmRSS MB (t s, MB) every ~20 s"] = [
        (t, round(kb / 1024, 1)) for k, (t, pid, kb) in enumerate(samples) if k % 10 == 0]
    for pid, s in by_pid.items():
        if len(s) < 10:
            continue
        settled = s[len(s) // 5][1]
        peak = max(kb for _, kb in s)
        f[f"VmRSS of process {pid}: settled / peak / last MB"] = (
            round(settled / 1024, 1), round(peak / 1024, 1), round(s[-1][1] / 1024, 1))
        v.check(peak - settled <= 24 * 1024,
                f"process {pid} grew by {(peak - settled) / 1024:.1f} MB after settling")
    f["finished at"] = datetime.datetime.now().isoformat(timespec="seconds")
