"""What the soak sends, what arrives, and how the modem misbehaves: all of
it drawn from one seed, so a failing run can be run again as it was.

Every outgoing text carries its tag ("#c03m0042#") at its start, so the
journal, the modem's PDUs and the client's answers can be matched to it;
every incoming text carries its own ("in-0042").
"""
import dataclasses
import random

# Temporary errors the gateway may try again; a permanent one it must not.
TEMPORARY = "+CMS ERROR: 332"
PERMANENT = "+CMS ERROR: 500"
SENDERS = ["+8613900000001", "+8613900000002", "10086", "+447700900123"]
GSM_WORDS = ["alpha", "bravo", "delta", "echo", "golf", "hotel", "kilo", "lima",
             "oscar", "tango", "x-ray", "zulu", "@home", "50%", "(ok)", "a+b=c"]
# Characters of the extension table: two septets each.
GSM_EXTENDED = ["[", "]", "{", "}", "~", "|", "^", "\\", "\u20ac"]
CHINESE = "短信网关测试消息长文本中文字符发送接收状态报告正常"


@dataclasses.dataclass
class Message:
    tag: str
    number: str
    text: str
    parts: int
    mode: str        # "poke", "execute" or "execute2" (two commands in one)


@dataclasses.dataclass
class Incoming:
    tag: str
    sender: str
    text: str
    pdus: list       # the stored PDUs, in the order they are stored
    notify: bool


def gsm_text(rng, tag, septets):
    out, count = [tag, " "], len(tag) + 1
    while count < septets:
        if rng.random() < 0.05:
            word = rng.choice(GSM_EXTENDED)
            cost = 2
        else:
            word = rng.choice(GSM_WORDS) + " "
            cost = len(word)
        if count + cost > septets:
            word, cost = "." * (septets - count), septets - count
        out.append(word)
        count += cost
    return "".join(out)


def chinese_text(rng, tag, units):
    body = "".join(rng.choice(CHINESE) for _ in range(units - len(tag) - 1))
    return tag + " " + body


def message(rng, client, n):
    tag = f"#c{client:02d}m{n:04d}#"
    parts = rng.choice([1, 1, 2, 3, 4, 5])
    if rng.random() < 0.5:
        septets = 100 if parts == 1 else 153 * (parts - 1) + rng.randint(20, 140)
        text = gsm_text(rng, tag, septets)
    else:
        units = 50 if parts == 1 else 67 * (parts - 1) + rng.randint(10, 60)
        text = chinese_text(rng, tag, units)
    if rng.random() < 0.1:
        text = text[:len(tag) + 3] + "\n" + text[len(tag) + 4:]
    number = rng.choice(["1380013", "+861390013", "1860000"]) + f"{client:02d}{n % 100:02d}"
    mode = rng.choice(["poke", "poke", "execute", "execute2"])
    return Message(tag, number, text, parts, mode)


def messages(seed, clients, per_client):
    """[client] -> [Message]; an "execute2" message is sent together with
    the one after it, which is then an "execute" of the same command."""
    rng = random.Random(seed)
    out = []
    for c in range(clients):
        out.append([message(rng, c, n) for n in range(per_client)])
    return out


def incoming(seed, count, deliver):
    """`deliver(sender, text, coding, concat)` builds a PDU (the harness's
    SMS-DELIVER builder)."""
    rng = random.Random(seed + 1)
    out = []
    for n in range(count):
        tag = f"in-{n:04d}"
        sender = rng.choice(SENDERS)
        if rng.random() < 0.3:
            # Two or three parts, stored in a shuffled order.
            total = rng.choice([2, 3])
            pieces = [f"{tag} part{k} " + "".join(rng.choice(CHINESE) for _ in range(20))
                      for k in range(1, total + 1)]
            ref = rng.randrange(256)
            pdus = [deliver(sender, p, "ucs2", (ref, total, k + 1))
                    for k, p in enumerate(pieces)]
            order = list(range(total))
            rng.shuffle(order)
            out.append(Incoming(tag, sender, "".join(pieces), [pdus[i] for i in order],
                                rng.random() < 0.5))
        else:
            coding = rng.choice(["gsm", "ucs2"])
            text = f"{tag} " + (gsm_text(rng, "", 40).strip() if coding == "gsm"
                                else "".join(rng.choice(CHINESE) for _ in range(15)))
            out.append(Incoming(tag, sender, text, [deliver(sender, text, coding, None)],
                                rng.random() < 0.5))
    return out


def modem_faults(seed, parts, silences):
    """The "set" request of the simulated modem for `parts` AT+CMGS commands
    and as many PDUs: replies in pieces, unsolicited lines inside the
    dialogue, temporary and permanent errors, and `silences` prompts that
    never come."""
    rng = random.Random(seed + 2)
    per_part, results, prompts, unsolicited = [], [], [], []
    lines = ["RING", '+CMTI: "SM",7', "+CREG: 1", "^RSSI:17", "^HCSQ:\"LTE\",50,40,120,20",
             "+CDSI: \"SM\",9", "^MODE:5,4"]
    silent = set(rng.sample(range(50, parts - 50), silences)) if silences else set()
    for i in range(parts):
        per_part.append({"split": {"size": rng.randint(2, 5), "gap": 0.002}}
                        if rng.random() < 0.08 else {})
        r = rng.random()
        results.append(TEMPORARY if r < 0.02 else PERMANENT if r < 0.025 else "ok")
        p = rng.random()
        prompts.append("silence" if i in silent else "+CMS ERROR: 515" if p < 0.003 else "ok")
        if rng.random() < 0.06:
            unsolicited.append({"at": rng.choice(["before_prompt", "prompt", "result",
                                                  "before_ok"]),
                                "part": i + 1, "data": ("\r\n" + rng.choice(lines) +
                                                        "\r\n").encode().hex()})
    cmgs = {"prompt_delay": 0.004, "result_delay": 0.015, "parts": per_part,
            "results": results, "prompts": prompts,
            # A temporary error at most once per message after the PDU: a
            # third failed attempt would put its retry 600 s away, past the
            # end of the run.
            "forgive": True}
    return {"cmgs": cmgs, "cmgf": {"result": "ok", "delay": 0.003},
            "unsolicited": unsolicited, "capacity": 255, "redeliver": 5.0}


def reports(seed, parts):
    """Delivery reports: most delivered after a second or two, some failed
    (TP-ST 0x41), some still trying (0x21: no verdict)."""
    rng = random.Random(seed + 3)
    script = []
    for _ in range(parts):
        r = rng.random()
        st = 0x41 if r < 0.03 else 0x21 if r < 0.05 else 0x00
        script.append({"st": st, "delay": round(rng.uniform(0.5, 3.0), 2)})
    return {"st": 0, "delay": 1.0, "notify": False, "discharge": "2026-12-08 12:00:00",
            "tz": 32, "ra": None, "script": script}
