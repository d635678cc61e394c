"""The simulated modem's faults and the network-state queries, as the tests
of a watched modem and of retries switch them on (tools/simmodem/watch.py,
dialogue.py, simmodem.py "unplug"). Methods of harness.modem.SimModem;
nothing of this happens unless asked for.

    m.unplug(3)                 # the port is gone now, a new pty behind the
                                # same link (so the same COM port) in 3 s
    m.wait_plugged(10)          # True once it is back
    m.plug_state()   -> {"plugged", "path", "replug_in"}
    m.pty_events()   -> [{"t", "event": "unplug" | "hangup" | "pty", ...}]

    m.set_signal(17)            # AT+CSQ    -> +CSQ: 17,99 / OK
    m.set_network(5)            # AT+CREG?  -> +CREG: 0,5 / OK
    m.set_operator("CMCC")      # AT+COPS?  -> +COPS: 0,0,"CMCC" / OK
    m.set_watch_answer("AT+CSQ", "silence")          # or "error", "ok"
    m.set_watch_answer("AT+CREG?", script=["silence"] * 3)
    m.watch_off()               # the three back to the reply tables

    m.set_cmgs(results=["+CMS ERROR: 332", "ok"])    # per PDU
    m.set_cmgs(prompts=["silence"])                  # no prompt once
"""
import time

WATCH_COMMANDS = {"AT+CSQ": "csq", "AT+CREG?": "creg", "AT+COPS?": "cops"}


def _watch_name(command):
    name = WATCH_COMMANDS.get(command.upper(), command.lower())
    if name not in WATCH_COMMANDS.values():
        raise ValueError(f"not a watch command: {command!r}")
    return name


class ModemFaults:
    # -- the port pulled and put back ---------------------------------------------

    def unplug(self, seconds=None):
        """The pty goes away as an unplugged USB modem: reads and writes on
        an open port fail, the link (and so the COM port's device) is gone.
        `seconds` later a new pty appears behind the same link, the modem's
        settings and mr numbering as they were; None: until restore()."""
        self._call(op="unplug", seconds=None if seconds is None else float(seconds))

    def plug_state(self):
        """{"plugged": bool, "path": the pty or None, "replug_in": seconds
        until it comes back by itself, or None}."""
        reply = self._call(op="state")
        return {k: reply[k] for k in ("plugged", "path", "replug_in")}

    def wait_plugged(self, timeout):
        """True once the pty is back, False after `timeout` s."""
        end = time.monotonic() + timeout
        while not self.plug_state()["plugged"]:
            if time.monotonic() > end or not self.running():
                return False
            time.sleep(0.02)
        return True

    def pty_events(self):
        """The pty's history from the log: {"t", "event": "pty" (with
        "path"), "unplug" (with "seconds") or "hangup"}."""
        return [e for e in self._entries() if e.get("event") in ("pty", "unplug", "hangup")]

    # -- AT+CSQ, AT+CREG?, AT+COPS? ---------------------------------------------

    def set_watch(self, **commands):
        """Raw settings per query, merged into what is set (see
        tools/simmodem/watch.py): csq={"rssi", "ber"}, creg={"n", "stat",
        "lac", "ci"}, cops={"mode", "format", "name"}, each also "result",
        "error", "delay", "script"; a value None gives that query back to
        the reply tables."""
        self._call(op="set", watch=commands)

    def set_signal(self, rssi, ber=99):
        """AT+CSQ answers "+CSQ: <rssi>,<ber>" and OK."""
        self.set_watch(csq={"rssi": int(rssi), "ber": int(ber)})

    def set_network(self, stat, n=0, lac=None, ci=None):
        """AT+CREG? answers "+CREG: <n>,<stat>" (with ,"<lac>","<ci>" when
        both are given) and OK. stat: 0 not searching, 1 home, 2 searching,
        3 denied, 4 unknown, 5 roaming."""
        self.set_watch(creg={"n": int(n), "stat": int(stat), "lac": lac, "ci": ci})

    def set_operator(self, name, mode=0, fmt=0):
        """AT+COPS? answers '+COPS: <mode>,<fmt>,"<name>"' and OK; name None:
        "+COPS: <mode>" alone, as a modem that is not registered."""
        self.set_watch(cops={"name": name, "mode": int(mode), "format": int(fmt)})

    def set_watch_answer(self, command, result="ok", *, delay=0.0, error="ERROR",
                         script=None):
        """How one query ("AT+CSQ", "AT+CREG?", "AT+COPS?") is answered:
        result "ok", "error" (the line `error`, e.g. "+CME ERROR: 10") or
        "silence" (nothing at all), after `delay` s; `script` gives the next
        answers one by one before `result` takes over. The values set so
        far stay."""
        self.set_watch(**{_watch_name(command): {
            "result": result, "delay": float(delay), "error": error,
            "script": list(script or [])}})

    def watch_off(self, *commands):
        """The given queries (none: all three) back to the reply tables."""
        if not commands:
            self._call(op="set", watch=None)
        else:
            self.set_watch(**{_watch_name(c): None for c in commands})
