"""The modem's message store: incoming SMS-DELIVER PDUs and status reports
as a SIM keeps them, listed by "AT+CMGL=<stat>" in PDU mode and deleted by
"AT+CMGD=<index>".

Control requests (besides "set"):

  {"op": "store", "pdu": hex, "stat": 0, "notify": false,
   "after": s, "k": n, "match": "AT+CMGS", "delay": s}
      stores a PDU (service-centre address in front, as CMGL lists it).
      Without "after" and "k" at once, and the reply holds its "index";
      "after": `s` s from now; "k": after the answer to the k-th command
      line from now on (counting only those beginning with `match` when
      given), `delay` s later. "notify" adds the line CR LF +CMTI: "SM",<i>
      CR LF (+CDSI for a status report) when it is stored.
  {"op": "stored"}    -> {"messages": [{"index", "stat", "pdu"}, ...]}

  "set" key "reports": the status reports the network sends back for every
  PDU answered "+CMGS: <mr>" whose first octet asks for one (TP-SRR 0x20):
      {"st": 0, "delay": 0.5, "notify": false,
       "discharge": "2026-12-08 12:00:00", "tz": 32, "ra": None,
       "script": [{"st": 70, "delay": 2.0}, ...]}
  addressed to the PDU's recipient (or `ra`, as "+8613..." or "138...")
  with its reference, TP-ST `st`, stored `delay` s after the answer;
  `script` gives the settings of the first reports one by one (counted
  from the set that gave it); "reports": None sends none. On by default
  (TP-ST 0, 0.5 s), as a network answers: a PDU without TP-SRR gets none.

Answers, as a modem in verbose mode frames them:
  AT+CMGL=4   CR LF "+CMGL: <i>,<stat>,,<TPDU length>" CR LF <pdu>, the
              next entry the same, then CR LF CR LF "OK" CR LF (no entry:
              CR LF "OK" CR LF); stat 0-3 lists only that status, and an
              unread message listed becomes read (stat 1)
  AT+CMGD=<i>[,0]  CR LF "OK" CR LF, or "+CMS ERROR: 321" for an empty index
The SIM has `capacity` (30) places ("set" key "capacity" changes it, as a
modem whose store is the phone's own memory has more); an index freed is
used again, lowest first, as a SIM does. A PDU that finds it full is
dropped, or with "set" key "redeliver": s stored again s seconds later, as a
network tries again. Every store and delete is logged: "event": "stored"
(index, stat, pdu) or "store-full", "deleted" (index), "listed" (indexes).
"""
import heapq
import re
import time

from dialogue import framed

REPORT_DEFAULTS = {"st": 0, "delay": 0.5, "notify": False,
                   "discharge": "2026-12-08 12:00:00", "tz": 32, "ra": None}
SMSC = "0891683108200505F0"  # +8613800250500


def semi_octets(digits):
    if len(digits) % 2:
        digits += "F"
    return "".join(digits[i + 1] + digits[i] for i in range(0, len(digits), 2))


def stamp(text, tz):
    """"yyyy-mm-dd hh:mm:ss" and quarter-hours -> the 7 octets of a
    TP-SCTS / TP-DT, as hex."""
    fields = [int(x) for x in re.findall(r"\d+", text)]
    y, mo, d, h, mi, s = fields[:6]
    out = semi_octets("".join(f"{v % 100:02d}" for v in (y, mo, d, h, mi, s)))
    q = semi_octets(f"{abs(int(tz)):02d}")
    sign = 0x08 if int(tz) < 0 else 0
    return out + f"{int(q, 16) | sign:02X}"


def recipient(pdu_hex):
    """(digits, type of address) of an SMS-SUBMIT's TP-DA, or None."""
    try:
        o = bytes.fromhex(pdu_hex)
        p = 1 + o[0]
        if o[p] & 0x03 != 0x01:
            return None
        fo, n, toa = o[p], o[p + 2], o[p + 3]
        raw = o[p + 4:p + 4 + (n + 1) // 2].hex().upper()
        if len(raw) < n:
            return None
        digits = "".join(raw[i + 1] + raw[i] for i in range(0, len(raw), 2))[:n]
        return digits, toa, fo
    except (ValueError, IndexError):
        return None


def status_report(mr, digits, toa, st, discharge, tz):
    """An SMS-STATUS-REPORT with the service centre in front."""
    ra = f"{len(digits):02X}{toa:02X}{semi_octets(digits)}"
    t = stamp(discharge, tz)
    return f"{SMSC}06{mr % 256:02X}{ra}{t}{t}{st % 256:02X}"


def tpdu_length(pdu_hex):
    o = bytes.fromhex(pdu_hex)
    return len(o) - 1 - o[0]


class Store:
    def __init__(self, record, schedule, capacity=30):
        self.record = record        # the modem's log
        self.schedule = schedule    # items -> the Windows side
        self.capacity = capacity
        self.redeliver = None       # seconds until a PDU that found it full comes again
        self.slots = {}             # index -> {"stat", "pdu"}
        self.timers = []            # heap of (time, seq, entry)
        self.waiting = []           # entries due after the k-th command
        self.seq = 0
        self.reports = dict(REPORT_DEFAULTS)
        self.script, self.reported = [], 0

    # -- storing -----------------------------------------------------------------

    def put(self, pdu, stat=0, notify=False):
        pdu = pdu.upper()
        bytes.fromhex(pdu)
        free = [i for i in range(1, self.capacity + 1) if i not in self.slots]
        if not free:
            self.record(event="store-full", pdu=pdu)
            if self.redeliver is not None:
                # As the network does after "memory capacity exceeded".
                self.later(self.redeliver, {"pdu": pdu, "stat": stat, "notify": notify})
            return None
        i = free[0]
        self.slots[i] = {"stat": int(stat), "pdu": pdu}
        self.record(event="stored", index=i, stat=int(stat), pdu=pdu)
        if notify:
            report = (bytes.fromhex(pdu)[1 + bytes.fromhex(pdu)[0]] & 0x03) == 0x02
            name = "+CDSI" if report else "+CMTI"
            self.schedule([(0.0, framed(f'{name}: "SM",{i}'), False, None)])
        return i

    def request(self, req):
        """The "store" op; the index when stored at once."""
        entry = {"pdu": req["pdu"], "stat": int(req.get("stat", 0)),
                 "notify": bool(req.get("notify", False))}
        bytes.fromhex(entry["pdu"])
        if req.get("k") is not None:
            entry.update(k=int(req["k"]), match=str(req.get("match", "")).upper(),
                         delay=float(req.get("delay", 0.0)), seen=0)
            self.waiting.append(entry)
            return None
        if req.get("after") is not None:
            self.later(float(req["after"]), entry)
            return None
        return self.put(entry["pdu"], entry["stat"], entry["notify"])

    def later(self, seconds, entry):
        self.seq += 1
        heapq.heappush(self.timers, (time.monotonic() + seconds, self.seq, entry))

    def next_due(self):
        return self.timers[0][0] if self.timers else None

    def pump(self, t):
        while self.timers and self.timers[0][0] <= t:
            _, _, e = heapq.heappop(self.timers)
            self.put(e["pdu"], e["stat"], e["notify"])

    def command_seen(self, command):
        """After the answer to a command line has been scheduled."""
        for e in list(self.waiting):
            if command.startswith(e["match"]):
                e["seen"] += 1
                if e["seen"] >= e["k"]:
                    self.waiting.remove(e)
                    self.later(e["delay"], e)

    # -- status reports ----------------------------------------------------------

    def configure(self, reports):
        if reports is None:
            self.reports = None
            return
        unknown = set(reports) - set(REPORT_DEFAULTS) - {"script"}
        if unknown:
            raise ValueError(f"unknown report settings {sorted(unknown)}")
        self.reports = {**REPORT_DEFAULTS, **reports}
        self.script = list(self.reports.pop("script", None) or [])
        self.reported = 0

    def sent(self, pdu, mr):
        """A PDU the modem answered "+CMGS: <mr>"."""
        to = recipient(pdu)
        if self.reports is None or mr is None or to is None or not to[2] & 0x20:
            return
        cfg = dict(self.reports)
        if self.reported < len(self.script):
            cfg.update(self.script[self.reported])
        self.reported += 1
        digits, toa = to[0], to[1]
        if cfg["ra"]:
            ra = str(cfg["ra"])
            digits, toa = (ra[1:], 0x91) if ra.startswith("+") else (ra, 0x81)
        pdu = status_report(int(mr), digits, toa, int(cfg["st"]),
                            cfg["discharge"], cfg["tz"])
        self.record(event="report-due", mr=int(mr), st=int(cfg["st"]),
                    delay=float(cfg["delay"]))
        self.later(float(cfg["delay"]), {"pdu": pdu, "stat": 0,
                                         "notify": bool(cfg["notify"])})

    # -- the commands --------------------------------------------------------------

    def answer(self, command):
        """Items for AT+CMGL / AT+CMGD, or None for any other command."""
        m = re.fullmatch(r"AT\+CMGL(?:=(\d+))?", command)
        if m:
            want = int(m.group(1) or 0)
            items, listed = [], []
            for i in sorted(self.slots):
                s = self.slots[i]
                if want != 4 and s["stat"] != want:
                    continue
                listed.append(i)
                line = f"+CMGL: {i},{s['stat']},,{tpdu_length(s['pdu'])}"
                items.append((0.0, framed(line) + s["pdu"].encode(), True, None))
                if s["stat"] == 0:
                    s["stat"] = 1
            self.record(event="listed", indexes=listed)
            end = b"\r\n" if listed else b""
            return items + [(0.0, end + framed("OK"), True, None)]
        m = re.fullmatch(r"AT\+CMGD=(\d+)(?:,(\d+))?", command)
        if m:
            i = int(m.group(1))
            if i not in self.slots or (m.group(2) or "0") != "0":
                return [(0.0, framed("+CMS ERROR: 321"), True, None)]
            del self.slots[i]
            self.record(event="deleted", index=i)
            return [(0.0, framed("OK"), True, None)]
        return None
