"""What the simulated modem does beyond its plain reply tables, each part
switched on by its own key of the "set" request, so a modem that is never
told about them answers exactly as the tables say:

  "cmgf":  {"result": "ok" | "error" | "silence", "delay": s,
            "error": "ERROR", "script": ["ok", "error", ...]}
      the answer to "AT+CMGF=0": CR LF "OK" CR LF after `delay`; `script`
      gives the first answers one by one, `result` the rest.
  "cmgs":  {"prompt": "prompt" | "error" | "silence", "prompt_delay": s,
            "prompt_error": "+CMS ERROR: 500",
            "result": "ok" | "error" | "silence", "result_delay": s,
            "result_error": "+CMS ERROR: 500", "mr": first reference,
            "check_length": true, "length_error": "+CMS ERROR: 304",
            "escape": "silence" | "ok", "split": {...},
            "parts": [{any of the keys above}, ...],
            "prompts": ["silence", ...], "results": ["+CMS ERROR: 332", ...],
            "forgive": false}
      "AT+CMGS=<n>" as a real modem runs it: CR LF "> " after
      `prompt_delay`, then PDU input up to Ctrl-Z (ESC abandons it); the
      PDU's octets after its service-centre part must number <n>; then
      CR LF "+CMGS: <mr>" CR LF CR LF "OK" CR LF after `result_delay`, mr
      going up by one per part sent (255 wraps to 0). `parts[i]` overrides
      the keys for the (i+1)-th AT+CMGS. "error" at the prompt leaves the
      modem in command mode; "silence" at the prompt still takes the PDU.
      `prompts` scripts the prompt of the first AT+CMGS commands, one entry
      each (counted as `parts` is; "prompt" or "ok" gives it), `results`
      the answer to the first PDUs,
      one entry each, counted per PDU that got past the length check: "ok",
      "silence", "error" (the line prompt_error or result_error) or any
      other text, which is the error line itself. Past its end a script
      gives way to `prompt` and `result`. A PDU answered by an error or
      silence takes no mr, as with `result`. With `forgive` a message one
      of whose PDUs was answered with an error once (its parts known by
      recipient and concatenation reference) is answered "ok" from then on.
  "unsolicited": [{"at": moment, "data": hex, "delay": s, "k": n,
                   "match": "AT+CMGS", "part": n, "every": false}, ...]
      lines of the modem's own at chosen moments, each once (or at every
      moment that fits, with "every"). Moments: "start" (when set),
      "command" (after the answer to the k-th command line, counting only
      those that begin with `match` when given), and within the AT+CMGS
      dialogue of part `part` (any part when not given): "before_prompt",
      "prompt" (after the prompt, before the PDU), "result" (after the
      Ctrl-Z, before the answer), "before_ok" (between "+CMGS: <mr>" and
      "OK"). `delay` counts from the moment; nothing after it in the same
      answer goes out before it.
  "echo":  {"from": k, "ate": true, "pdu": false}
      echo switched on as after a modem reset, from command line k on
      (0: the next one): every byte of a command line comes back as it
      arrives, CR included; "ATE0" switches it off and "ATE1" on again
      unless "ate" is false; "pdu" echoes PDU input too.
  "split": {"size": n, "gap": s}
      every answer (not the echo, not the unsolicited lines) goes out in
      pieces of n bytes, `gap` s apart.

Counts (the k-th command line, the n-th AT+CMGS or AT+CMGF=0) start at the
"set" that gave the key they belong to.
"""


CMGS_DEFAULTS = {
    "prompt": "prompt", "prompt_delay": 0.0, "prompt_error": "+CMS ERROR: 500",
    "result": "ok", "result_delay": 0.0, "result_error": "+CMS ERROR: 500",
    "check_length": True, "length_error": "+CMS ERROR: 304",
    "escape": "silence",
}
CMGF_DEFAULTS = {"result": "ok", "delay": 0.0, "error": "ERROR"}
MOMENTS = ("start", "command", "before_prompt", "prompt", "result", "before_ok")


def framed(text):
    """An information or result line as a modem in verbose mode frames it."""
    return b"\r\n" + text.encode("latin-1") + b"\r\n"


def chunk_items(chunks):
    """[delay, hex] chunks, each delay counted from the one before, as items
    at offsets from now."""
    items, off = [], 0.0
    for delay, data in chunks:
        off += float(delay)
        items.append((off, bytes.fromhex(data), True, None))
    return items


def expand(items, split):
    """Items (offset, bytes, is_answer, tag) in the order they must go out
    -> [(offset, bytes, tag)], never earlier than the one before, answers cut
    into pieces when `split` says so."""
    out, last = [], 0.0
    size = int(split["size"]) if split else 0
    gap = float(split.get("gap", 0.0)) if split else 0.0
    for off, data, answer, tag in items:
        off = max(off, last)
        if answer and size > 0 and len(data) > size:
            for i in range(0, len(data), size):
                out.append((off, data[i:i + size], tag))
                last = off
                off += gap
        else:
            out.append((off, data, tag))
            last = off
    return out


def scripted(entry, good, error):
    """A script entry -> (kind, error line): `good` ("prompt" or "ok"; "ok"
    means the prompt too), "silence" and "error" are kinds, any other text
    an error line."""
    if entry == "ok":
        entry = good
    if entry in (good, "silence", "error"):
        return entry, error
    return "error", str(entry)


def message_key(pdu):
    """What the parts of one SMS-SUBMIT share: recipient and concatenation
    reference; the PDU itself for one without a header or not parsed."""
    try:
        o = bytes.fromhex(pdu.decode("latin-1"))
        p = 1 + o[0]
        fo = o[p]
        p += 2  # first octet, TP-MR
        da = o[p:p + 2 + (o[p] + 1) // 2]
        p += len(da) + 2  # TP-DA, PID, DCS
        vpf = (fo >> 3) & 3
        p += {0: 0, 2: 1}.get(vpf, 7) + 1  # TP-VP, UDL
        if fo & 0x40 and o[p + 1] == 0x00:
            return (bytes(da), o[p + 3])
    except (ValueError, IndexError):
        pass
    return pdu


def check_pdu(pdu, length):
    """Whether `pdu` is hex whose octets after the service-centre part number
    `length`, as the argument of AT+CMGS counts them."""
    try:
        octets = bytes.fromhex(pdu.decode("latin-1"))
    except ValueError:
        return False
    if len(pdu) % 2 or not octets or length is None:
        return False
    return len(octets) - 1 - octets[0] == length


class Behaviour:
    def __init__(self):
        self.cmgf = None
        self.cmgs = None
        self.unsolicited = []
        self.echo = None
        self.split = None
        self.mr = 0
        self.echo_on = False
        self.echo_armed = False
        self.commands = self.cmgs_count = self.cmgf_count = self.pdu_count = 0
        self.cmgf_base = self.cmgs_base = self.unsolicited_base = self.pdu_base = 0
        self.echo_base = 0
        self.matched = {}
        self.refused = set()  # PDUs answered with an error, for "forgive"

    def configure(self, req):
        """Takes the keys of a "set" request that are its own; returns the
        items due at once (the "start" lines)."""
        if "cmgf" in req:
            self.cmgf = None if req["cmgf"] is None else {**CMGF_DEFAULTS, **req["cmgf"]}
            self.cmgf_base = self.cmgf_count
        if "cmgs" in req:
            for key in ("prompts", "results"):
                if not isinstance((req["cmgs"] or {}).get(key, []), list):
                    raise ValueError(f"{key} must be a list")
            self.cmgs = req["cmgs"]
            self.cmgs_base = self.cmgs_count
            self.pdu_base = self.pdu_count
            if self.cmgs is not None:
                self.mr = int(self.cmgs.get("mr", 0)) % 256
        if "split" in req:
            self.split = req["split"]
        if "echo" in req:
            self.echo = req["echo"]
            self.echo_on = False
            self.echo_armed = self.echo is not None
            self.echo_base = self.commands
        now_items = []
        if "unsolicited" in req:
            self.unsolicited = []
            self.unsolicited_base = self.cmgs_count
            self.matched = {}
            for u in req["unsolicited"] or []:
                if u.get("at") not in MOMENTS:
                    raise ValueError(f"unknown moment {u.get('at')!r}")
                u = {**u, "fired": False}
                self.unsolicited.append(u)
            now_items = self.moment("start", 0.0)
        return now_items

    # -- unsolicited lines -----------------------------------------------------

    def moment(self, at, offset, part=None, command=None):
        items = []
        for u in self.unsolicited:
            if u["at"] != at or (u["fired"] and not u.get("every")):
                continue
            if at == "command":
                match = u.get("match", "").upper()
                if not command.startswith(match):
                    continue
                n = self.matched[id(u)] = self.matched.get(id(u), 0) + 1
                if n != int(u.get("k", 1)) and not u.get("every"):
                    continue
            elif at != "start" and u.get("part") not in (
                    None, part - self.unsolicited_base):
                continue
            u["fired"] = True
            items.append((offset + float(u.get("delay", 0.0)),
                          bytes.fromhex(u["data"]), False, "unsolicited"))
        return items

    # -- echo ------------------------------------------------------------------

    def line_starts(self):
        if self.echo_armed and self.commands - self.echo_base + 1 >= int(self.echo.get("from", 0)):
            self.echo_armed = False
            self.echo_on = True

    def command_seen(self, command):
        self.commands += 1
        if self.echo is not None and self.echo.get("ate", True):
            if command == "ATE0":
                self.echo_on = False
            elif command in ("ATE", "ATE1"):
                self.echo_on = True

    def echo_pdu(self):
        return self.echo_on and bool(self.echo.get("pdu"))

    # -- AT+CMGF=0 -------------------------------------------------------------

    def cmgf_items(self):
        script = self.cmgf.get("script") or []
        self.cmgf_count += 1
        i = self.cmgf_count - self.cmgf_base - 1
        kind = script[i] if i < len(script) else self.cmgf["result"]
        delay = float(self.cmgf["delay"])
        if kind == "ok":
            return [(delay, framed("OK"), True, None)]
        if kind == "error":
            return [(delay, framed(self.cmgf["error"]), True, None)]
        return []

    # -- AT+CMGS ---------------------------------------------------------------

    def part_config(self):
        """The settings of the AT+CMGS just counted."""
        cfg = {**CMGS_DEFAULTS, **{k: v for k, v in self.cmgs.items()
                                   if k not in ("parts", "prompts", "results")}}
        parts = self.cmgs.get("parts") or []
        i = self.cmgs_count - self.cmgs_base - 1
        if i < len(parts):
            cfg.update(parts[i] or {})
        prompts = self.cmgs.get("prompts") or []
        if i < len(prompts):
            cfg["prompt"], cfg["prompt_error"] = scripted(
                prompts[i], "prompt", cfg["prompt_error"])
        cfg.setdefault("split", self.split)
        return cfg

    def split_for(self, state):
        return state["cfg"]["split"] if state and state.get("cfg") else self.split

    def cmgs_start(self, command, table):
        """Answers "AT+CMGS=<n>": (items, PDU input state or None). Without
        "cmgs" the answer is the prompt table, as it always was."""
        self.cmgs_count += 1
        part = self.cmgs_count
        arg = command[len("AT+CMGS="):].strip()
        state = {"part": part, "length": int(arg) if arg.isdigit() else None,
                 "buf": bytearray(), "first_t": None, "cfg": None}
        if self.cmgs is None:
            items = self.moment("before_prompt", 0.0, part) + chunk_items(table)
            end = max((i[0] for i in items), default=0.0)
            return items + self.moment("prompt", end, part), state
        cfg = state["cfg"] = self.part_config()
        if state["length"] is None:
            return [(0.0, framed("ERROR"), True, None)], None
        items = self.moment("before_prompt", 0.0, part)
        delay = float(cfg["prompt_delay"])
        if cfg["prompt"] == "error":
            return items + [(delay, framed(cfg["prompt_error"]), True, None)], None
        if cfg["prompt"] == "prompt":
            items.append((delay, b"\r\n> ", True, "prompt"))
        items += self.moment("prompt", delay, part)
        return items, state

    def cmgs_end(self, state, table):
        """Answers the Ctrl-Z of a PDU: (items, fields for its record).
        Without "cmgs" the answer is the PDU reply table."""
        cfg = state["cfg"]
        pdu = bytes(state["buf"])
        ok_length = check_pdu(pdu, state["length"])
        record = {"length_ok": ok_length, "mr": None}
        items = self.moment("result", 0.0, state["part"])
        if cfg is None:
            record["result"] = "table"
            return items + chunk_items(table), record
        delay = float(cfg["result_delay"])
        if cfg["check_length"] and not ok_length:
            record["result"] = "length"
            return items + [(delay, framed(cfg["length_error"]), True, None)], record
        results = (self.cmgs or {}).get("results") or []
        i = self.pdu_count - self.pdu_base
        self.pdu_count += 1
        result, result_error = cfg["result"], cfg["result_error"]
        if i < len(results):
            result, result_error = scripted(results[i], "ok", result_error)
        if result == "error" and self.cmgs.get("forgive"):
            # A message refused once goes through from then on, every part.
            key = message_key(pdu)
            if key in self.refused:
                result = "ok"
            self.refused.add(key)
        record["result"] = result
        if result == "ok":
            record["mr"] = self.mr
            items.append((delay, framed(f"+CMGS: {self.mr}"), True, None))
            items += self.moment("before_ok", delay, state["part"])
            items.append((delay, framed("OK"), True, None))
            self.mr = (self.mr + 1) % 256
        elif result == "error":
            record["error"] = result_error
            items.append((delay, framed(result_error), True, None))
        return items, record

    def cmgs_escape(self, state):
        if state["cfg"] and state["cfg"]["escape"] == "ok":
            return [(0.0, framed("OK"), True, None)]
        return []
