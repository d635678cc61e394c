"""The simulated modem's SIM store from the test side (tools/simmodem/
store.py): incoming messages and status reports put on the SIM now or at
chosen moments, what the gateway listed and deleted, the status reports the
network sends back. Methods of harness.modem.SimModem.

    i = m.store_pdu(deliver("+86139...", "收到"))      # on the SIM now
    m.store_pdu_after(2.0, pdu, notify=True)           # +CMTI when stored
    m.store_pdu_on_command(1, pdu, match="AT+CMGS")    # during a send
    m.stored()          -> [{"index", "stat", "pdu"}, ...]
    m.wait_stored(0, 20)                               # the SIM empty again
    m.store_events("deleted") -> [{"t", "index"}, ...] ("stored", "listed")
    m.set_reports(st=0x46, delay=1.0, script=[{...}])  # for TP-SRR PDUs
    m.set_reports(None)                                # no reports at all
"""
import time


class ModemStore:
    def store_pdu(self, pdu, stat=0, *, notify=False):
        """Stores a PDU (service centre in front) now; its SIM index."""
        return self._call(op="store", pdu=pdu, stat=stat, notify=notify)["index"]

    def store_pdu_after(self, seconds, pdu, stat=0, *, notify=False):
        self._call(op="store", pdu=pdu, stat=stat, notify=notify, after=float(seconds))

    def store_pdu_on_command(self, k, pdu, *, match="", delay=0.0, stat=0, notify=False):
        """Stores the PDU `delay` s after the modem answered the k-th
        command line from now on that begins with `match`."""
        self._call(op="store", pdu=pdu, stat=stat, notify=notify, k=int(k),
                   match=match, delay=float(delay))

    def stored(self):
        return self._call(op="stored")["messages"]

    def wait_stored(self, count, timeout):
        """Until the SIM holds `count` entries; the entries, or None."""
        end = time.monotonic() + timeout
        while True:
            now = self.stored()
            if len(now) == count:
                return now
            if time.monotonic() > end or self.popen.poll() is not None:
                return None
            time.sleep(0.05)

    def store_events(self, kind):
        """The log's "stored", "deleted", "listed", "report-due" or
        "store-full" entries."""
        return [e for e in self._entries() if e.get("event") == kind]

    def set_reports(self, st=0, *, delay=0.5, notify=False,
                    discharge="2026-12-08 12:00:00", tz=32, ra=None, script=None,
                    off=False):
        """The status reports for the PDUs that ask for one; `script` sets
        the first reports one by one ({"st", "delay", "discharge", ...});
        off=True: none."""
        reports = None if off else {
            "st": int(st), "delay": float(delay), "notify": notify,
            "discharge": discharge, "tz": int(tz), "ra": ra, "script": list(script or [])}
        self._call(op="set", reports=reports)
