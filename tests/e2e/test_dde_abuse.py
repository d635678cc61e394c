"""Varnix.exe against clients that misbehave: huge pokes, pokes full of NUL
and control bytes, every format but CF_TEXT, unknown and empty item names,
many clients poking at once, clients killed in the middle of a
conversation with their advise links never stopped. The server keeps
answering quickly, its memory stays bounded, and every acknowledged "1"
on Send with a number and a text is queued exactly once."""
import statistics
import time

import gammu

from harness.dde import ClientOutput, DdeHost, esc, run_client, start_client
from harness.fixtures_load import CONNECT, served, status_values, submit_commands

MB = 1 << 20


def script(path, lines):
    path.write_text("\n".join(lines) + "\n")
    return path


def run_script(gateway, path, timeout=120):
    return run_client(gateway.prefix, gateway.win_build, "--script", path,
                      timeout=timeout)


def hexarg(data):
    return "hex:" + data.hex()


def decoded(pdu):
    sms = gammu.DecodePDU(bytes.fromhex(pdu.decode()), SMSC=True)
    return sms["Number"], sms["Text"]


def requests(out):
    return {r["item"]: r for r in out.of("request")}


def test_huge_odd_and_foreign_pokes(gateway, tmp_path):
    gateway.start()
    gateway.modem.set_reply("cmgs")
    watcher = gateway.watch_status(4, timeout=90)
    rss_start = gateway.rss_kb()

    big = b"x" * MB
    control = bytes(range(1, 32)).replace(b"\r", b"").replace(b"\n", b"") + b"\x7f end"
    unsafe_number = b"1380013\x1a\x1b8000"
    lines = [
        CONNECT,
        # 1: control bytes in the number (Ctrl-Z and ESC among them): queued,
        # and refused by the worker before anything reaches the modem.
        f"poke Num {hexarg(unsafe_number)}",
        "poke SMS x",
        "poke Send 1",
        # 2: a text of 1 MB is stored whole and sent cut to 70 characters.
        f"poke SMS {hexarg(big)}",
        "poke Num 13800138000",
        "poke Send 1",
        "request SMS",
        # A poke that starts with NUL stores nothing; one with a NUL in the
        # middle stores what comes before it.
        "poke Sleep hex:00414243",
        "request Sleep",
        "poke Sleep hex:41420043440d0a",
        "request Wakeup",
        # 3: control bytes (Ctrl-Z and ESC included) in the text travel as
        # UCS-2 inside the PDU, never raw on the line.
        f"poke SMS {hexarg(control)}",
        "poke Send 1",
        # Several lines in Num: only the first counts.
        "poke Num 13800138000\\r\\n\\0zzz",
        "request Num",
        # Every format but CF_TEXT is refused and changes nothing:
        # CF_BITMAP, CF_OEMTEXT, CF_UNICODETEXT, CF_DIB, a registered one.
        "poke Send 1 2", "poke Send 1 oem", "poke Send 1 unicode",
        "poke Send 1 8", "poke Send 1 0xC0F0",
        "request Send",
        "request Status unicode", "request Status 0xC0F0",
        "advise Status hot unicode", "advise Wakeup hot 0xC0F0",
        # Unknown and empty item names. (A name differing only in case
        # reaches the item: names travel as case-blind global atoms; "0"
        # keeps such a poke from queueing anything.)
        "poke Nope 1", "poke send 0", "poke SEND 0", "request nope",
        "advise Nope", "poke \\0 1", "request \\0", "advise \\0",
        "request Send",
        # 4: the gateway still sends normally.
        "poke Num 13800138000", "poke SMS after", "poke Send 1",
        "request Wakeup",
    ]
    out = run_script(gateway, script(tmp_path / "odd.txt", lines))
    words = out.words("poke")
    # In script order; the two case variants (17, 18) are left out: whether
    # they reach "Send" is the platform's business.
    expected = (["ack"] * 10 + ["ack"] + ["nak"] * 5 + ["nak"] + [None, None] + ["nak"] +
                ["ack"] * 3)
    assert len(words) == len(expected), out.text
    assert [w if e else None for w, e in zip(words, expected)] == expected, out.text

    reqs = out.of("request")
    by_item = [(r["item"], r["word"], r.get("hex")) for r in reqs]
    assert by_item[0] == ("SMS", "ok", served("x" * MB)), by_item[0][:2]
    assert by_item[1] == ("Sleep", "ok", "00")
    assert by_item[2] == ("Wakeup", "ok", served("1"))
    assert by_item[3] == ("Num", "ok", served("13800138000"))
    # Send stayed "0" (set back by the last accepted trigger).
    assert by_item[4] == ("Send", "ok", served("0"))
    assert [w for _, w, _ in by_item[5:7]] == ["fail", "fail"], by_item
    assert [r["word"] for r in out.of("advise")][:2] == ["fail", "fail"]
    assert by_item[7][:2] == ("nope", "fail")
    assert by_item[-2] == ("Send", "ok", served("0"))
    assert by_item[-1] == ("Wakeup", "ok", served("1"))
    assert out.of("advise")[2]["word"] == "fail"

    result = watcher.finish(timeout=90)
    assert status_values(result) == ["0", "1", "1", "1"], result.text

    pdus = gateway.pdus()
    assert len(pdus) == 3, pdus
    for p in pdus:
        assert all(c in b"0123456789ABCDEF" for c in p), p
    assert decoded(pdus[0]) == ("13800138000", "x" * 70)
    # (gammu shows U+0001 as "~": compare the user data itself.)
    assert decoded(pdus[1])[0] == "13800138000"
    ud = control.decode().encode("utf-16-be")
    assert pdus[1].endswith(b"%02X" % len(ud) + ud.hex().upper().encode()), pdus[1]
    assert decoded(pdus[2]) == ("13800138000", "after")
    # Nothing of the unsafe number ever reached the line.
    assert b"\x1b" not in gateway.modem.received_bytes()

    # Five more pokes of 1 MB: the item keeps only the newest.
    rss_mid = gateway.rss_kb()
    more = [CONNECT] + [f"poke Sleep {hexarg(bytes([65 + i]) * MB)}" for i in range(5)]
    more += ["poke Sleep small", "request Sleep", "request Wakeup"]
    out = run_script(gateway, script(tmp_path / "big.txt", more))
    assert out.words("poke") == ["ack"] * 6, out.text
    assert [r["hex"] for r in out.of("request")] == [served("small"), served("1")]
    time.sleep(0.5)
    rss_end = gateway.rss_kb()
    print(f"RSS: start {rss_start} kB, after the odd pokes {rss_mid} kB, "
          f"after 5 more 1 MB pokes {rss_end} kB")
    assert rss_end - rss_mid < 8 * 1024, (rss_mid, rss_end)

    assert gateway.wakeup_ok()
    took = gateway.close()
    assert took is not None and took < 3, took


def control_hold_ups(output):
    """From the output of the control client (time, request, time, sleep 20
    over and over): a function giving the longest hold-up, in ms, of the
    control within a span. A request should take a few ms and a sleep its
    20 ms; what a step took beyond that, the control was held up."""
    # The control is killed: its last line may be cut short.
    whole = output.replace("\r", "").rpartition("\n")[0]
    times = [float(r["t"]) for r in ClientOutput(whole).of("time")]
    steps = [(a, b, b - a - (20 if i % 2 else 0))
             for i, (a, b) in enumerate(zip(times, times[1:]))]

    def held_up(start, end):
        return max([x for a, b, x in steps if a < end and b > start], default=0.0)
    return held_up


def poke_script(tmp_path, name, lines):
    return script(tmp_path / f"{name}.txt", [CONNECT] + lines)


def test_twenty_clients_at_once_killed_clients_and_dead_links(gateway, tmp_path, win_build):
    """20 clients poke 500 messages each at the same time while others are
    killed with their advise links still open. Every message has a number
    the worker refuses at once, so the queue drains without modem traffic
    and each one is accounted for by its Status publication. A few real
    messages queued first, each client under a shared lock, prove on the
    modem side that entries go out exactly once and in each client's
    order."""
    clients, per_client = 20, 500
    gateway.start()
    gateway.modem.set_reply("cmgs")
    # The DDE test host is built in the x64 tree only.
    host_build = win_build
    prefix, win_build = gateway.prefix, gateway.win_build

    # Links that will never be stopped: their owners are killed below.
    doomed = [start_client(prefix, win_build, CONNECT, "advise Status",
                           "advise Send", "advise Num", f"echo ARMED{i}",
                           "sleep 600000") for i in range(3)]
    for i, d in enumerate(doomed):
        d.wait_for(f"ARMED{i}")

    # Real messages first: three clients, three each, one triple at a time.
    ordered = []
    for c in range(3):
        lines = []
        for k in range(3):
            lines += ["lock order", f"poke Num 1390000000{c}", f"poke SMS o{c}-{k}",
                      "poke Send 1", "unlock order"]
        ordered.append(start_client(prefix, win_build, "--script",
                                    poke_script(tmp_path, f"order{c}", lines)))
    order_outs = [o.finish(timeout=60) for o in ordered]
    for out in order_outs:
        assert out.words("poke") == ["ack"] * 9, out.text
    real = 3 * 3

    total = real + clients * per_client
    # Lingers for the victim's messages, whose number is known only later.
    watcher = gateway.watch_status(total, timeout=600, linger=4)
    rss_before = gateway.rss_kb()

    # The control: a client of another DDE server, asking it the same way
    # throughout. When a slow Wakeup answer is matched by a hold-up of the
    # control, the machine or Wine stalled, not the gateway.
    neighbour = DdeHost.start(prefix, host_build, tmp_path / "neighbour", "Neighbour")
    control_lines = ["connect Neighbour SMS0"]
    for _ in range(1500):
        control_lines += ["time", "request Status", "time", "sleep 20"]
    control = start_client(prefix, win_build, "--script",
                           script(tmp_path / "control.txt", control_lines))
    control.wait_for("time", timeout=60)
    probe_lines = []
    for _ in range(60):
        probe_lines += ["time", "request Wakeup", "time", "sleep 250"]
    probe = start_client(prefix, win_build, "--script",
                         poke_script(tmp_path, "probe", probe_lines))
    # A client killed in the middle of its pokes.
    victim_lines = []
    for k in range(200):
        victim_lines += [f"poke Num V{k}", f"poke SMS victim-{k}", "poke Send 1"]
    victim = start_client(prefix, win_build, "--script",
                          poke_script(tmp_path, "victim", victim_lines))
    started = time.monotonic()
    pokers = []
    for i in range(clients):
        lines = []
        for k in range(per_client):
            lines += [f"poke Num X{i:02d}", f"poke SMS m{i}-{k}", "poke Send 1"]
        pokers.append(start_client(prefix, win_build, "--script",
                                   poke_script(tmp_path, f"poker{i}", lines)))
    victim.wait_for("item=Send", timeout=60)
    time.sleep(1)
    killed_at = time.time() * 1000
    victim.started.kill()
    for d in doomed:
        d.started.kill()

    acked = 0
    for p in pokers:
        out = p.finish(timeout=600)
        words = out.words("poke")
        assert words == ["ack"] * (3 * per_client), out.text[-2000:]
        acked += sum(1 for r in out.of("poke") if r["item"] == "Send")
    poke_s = time.monotonic() - started
    victim_out = victim.started.output()
    victim_acked = victim_out.count("poke ack item=Send")
    # The victim may have been killed after its last "1" was taken but
    # before it printed the acknowledgement.
    expected = total + victim_acked

    result = watcher.finish(timeout=600)
    drained_s = time.monotonic() - started
    seen = len(status_values(result))
    assert seen in (expected, expected + 1), (seen, expected, result.text[-500:])

    probe_out = probe.finish(timeout=120)
    times = [float(r["t"]) for r in probe_out.of("time")]
    latencies = [b - a - 15 for a, b in zip(times[::2], times[1::2])]
    assert [r["word"] for r in probe_out.of("request")] == ["ok"] * 60
    control.started.kill()
    held_up = control_hold_ups(control.started.output())
    neighbour.started.kill()
    rss_after = gateway.rss_kb()
    print(f"{clients} x {per_client} messages: pokes done in {poke_s:.1f} s, "
          f"queue drained in {drained_s:.1f} s; Wakeup latency median "
          f"{statistics.median(latencies):.1f} ms, max {max(latencies):.1f} ms; "
          f"RSS {rss_before} -> {rss_after} kB")
    # Every request is answered ("ok" above, within the client's 5 s) and
    # the typical answer comes within 100 ms. Single answers can take longer:
    # the gateway serves twenty clients at once, every DDE step of each is a
    # round trip to the one wineserver of the prefix, and a request waits
    # behind the pokes and Status publications queued before it. So a few
    # slow answers are allowed, those matched by a hold-up of the control
    # (the machine or Wine stalled) without count.
    slow, excused = [], []
    for a, latency in zip(times[::2], latencies):
        if latency < 100:
            continue
        control_ms = held_up(a, a + latency + 15)
        sample = (round(a - killed_at), round(latency), round(control_ms))
        (excused if control_ms >= latency / 2 else slow).append(sample)
    print(f"answers over 100 ms (ms after the kills, latency ms, control held up ms): "
          f"{slow}; with the machine stalled: {excused}")
    assert statistics.median(latencies) < 100, sorted(latencies)
    assert len(slow) <= 5, f"(ms after the kills, latency ms, control held up ms): {slow}"
    assert len(excused) <= 20, f"the machine stalled too often to measure: {excused}"
    assert rss_after - rss_before < 16 * 1024, (rss_before, rss_after)

    # Modem side: the real messages, each exactly once, in client order.
    pdus = [decoded(p) for p in gateway.pdus()]
    assert len(pdus) == real, pdus
    for c in range(3):
        texts = [t for n, t in pdus if n == f"1390000000{c}"]
        assert texts == [f"o{c}-{k}" for k in range(3)], pdus

    assert gateway.wakeup_ok()
    took = gateway.close()
    assert took is not None and took < 3, took


def test_each_outcome_is_published_even_when_the_next_follows_at_once(gateway):
    """A refused number is reported at once, right after the message
    before it: that message's own outcome must still be the one published
    for it."""
    gateway.start()
    gateway.modem.set_reply("cmgs")
    watcher = gateway.watch_status(4, timeout=60)
    gateway.submit(("13800138000", "sent"), ("1380013800A", "refused"),
                   ("13800138001", "sent too"), ("+", "refused too"))
    result = watcher.finish(timeout=60)
    assert status_values(result) == ["1", "0", "1", "0"], result.text
    assert len(gateway.pdus()) == 2
