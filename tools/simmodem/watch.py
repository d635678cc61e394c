"""The answers to the three network-state queries a watching gateway asks
while idle, switched on per command by the "watch" key of the "set"
request; a command never named there gets the reply tables, as always:

  "watch": {"csq":  {"rssi": 20, "ber": 99},
            "creg": {"n": 0, "stat": 1, "lac": None, "ci": None},
            "cops": {"mode": 0, "format": 0, "name": "CHINA MOBILE"},
            ...each also with "result": "ok" | "error" | "silence",
               "error": "ERROR", "delay": s, "script": ["silence", ...]}

  AT+CSQ    -> CR LF "+CSQ: <rssi>,<ber>" CR LF CR LF "OK" CR LF
  AT+CREG?  -> CR LF "+CREG: <n>,<stat>" CR LF ... OK  (",<lac>,<ci>"
               quoted, when both are given)
  AT+COPS?  -> CR LF "+COPS: <mode>,<format>,"<name>"" CR LF ... OK
               (name None: "+COPS: <mode>", as a modem that is not
               registered answers)

Each request merges into what is set: {"csq": {"rssi": 5}} changes the
signal and leaves the rest; {"csq": None} gives AT+CSQ back to the tables,
"watch": None all three. "error" answers the line `error` instead (e.g.
"+CME ERROR: 10"), "silence" nothing at all; the whole answer goes out
after `delay` s. `script` gives the next answers one by one (counted from
the request that gave it), `result` the ones after it.
"""

from dialogue import framed

COMMANDS = {"AT+CSQ": "csq", "AT+CREG?": "creg", "AT+COPS?": "cops"}
COMMON = {"result": "ok", "error": "ERROR", "delay": 0.0}
DEFAULTS = {
    "csq": {"rssi": 20, "ber": 99},
    "creg": {"n": 0, "stat": 1, "lac": None, "ci": None},
    "cops": {"mode": 0, "format": 0, "name": "CHINA MOBILE"},
}
KINDS = ("ok", "error", "silence")


def info_line(name, cfg):
    if name == "csq":
        return f"+CSQ: {int(cfg['rssi'])},{int(cfg['ber'])}"
    if name == "creg":
        text = f"+CREG: {int(cfg['n'])},{int(cfg['stat'])}"
        if cfg["lac"] is not None and cfg["ci"] is not None:
            text += f',"{cfg["lac"]}","{cfg["ci"]}"'
        return text
    if cfg["name"] is None:
        return f"+COPS: {int(cfg['mode'])}"
    return f'+COPS: {int(cfg["mode"])},{int(cfg["format"])},"{cfg["name"]}"'


class Watch:
    def __init__(self):
        self.cfg = {}      # command name -> its settings, only when switched on
        self.count = {}    # command name -> answers since its script was given

    def configure(self, watch):
        """Takes a request's "watch" whole or not at all."""
        if watch is None:
            self.cfg, self.count = {}, {}
            return
        unknown = set(watch) - set(DEFAULTS)
        if unknown:
            raise ValueError(f"unknown watch commands {sorted(unknown)}")
        cfgs, counts = dict(self.cfg), dict(self.count)
        for name, value in watch.items():
            if value is None:
                cfgs.pop(name, None)
                counts.pop(name, None)
                continue
            unknown = set(value) - set(DEFAULTS[name]) - set(COMMON) - {"script"}
            if unknown:
                raise ValueError(f"unknown {name} settings {sorted(unknown)}")
            base = cfgs.get(name) or {**COMMON, **DEFAULTS[name], "script": []}
            cfg = cfgs[name] = {**base, **value}
            for kind in [cfg["result"], *cfg["script"]]:
                if kind not in KINDS:
                    raise ValueError(f"unknown {name} answer {kind!r}")
            if "script" in value or name not in counts:
                counts[name] = 0
        self.cfg, self.count = cfgs, counts

    def answer(self, command):
        """Items for `command` (upper case, no CR), or None when it is not
        a query switched on here."""
        name = COMMANDS.get(command)
        if name is None or name not in self.cfg:
            return None
        cfg = self.cfg[name]
        i = self.count[name]
        self.count[name] += 1
        kind = cfg["script"][i] if i < len(cfg["script"]) else cfg["result"]
        delay = float(cfg["delay"])
        if kind == "ok":
            return [(delay, framed(info_line(name, cfg)), True, None),
                    (delay, framed("OK"), True, None)]
        if kind == "error":
            return [(delay, framed(cfg["error"]), True, None)]
        return []
