"""Received messages from a client's side: the Inbox and Result items as a
watcher sees them, the text of an Inbox line, and the inbox log.

    w = ItemWatcher(app, tmp_path, {"Inbox": "unicode", "Result": "text"})
    w.wait_inbox(2, 20)   -> [InboxLine(id, sender, time, text), ...] newest first
    w.inbox_values()      -> every Inbox value advised so far, each a list
    w.results()           -> [(id, state, detail), ...]
    inbox_log(prefix)     -> [InboxLine, ...] in the order written
    unescape("a\\\\tb")    -> "a\\tb"
"""
import collections
import pathlib
import time

from harness.dde import ClientOutput, start_client

CONNECT = "connect Varnix SMS0"
CF_UNICODETEXT = 13

InboxLine = collections.namedtuple("InboxLine", "id sender time text")


def item_text(hex_value, unicode):
    """An item's value as text: without its terminating NUL and the line
    break after its last line."""
    data = bytes.fromhex(hex_value)
    if unicode:
        assert len(data) % 2 == 0 and data.endswith(b"\0\0"), data
        text = data.decode("utf-16-le")
    else:
        assert data.endswith(b"\0"), data
        text = data.decode("gbk")
    assert text.endswith("\0") and "\0" not in text[:-1], repr(text)
    text = text[:-1]
    return text[:-2] if text.endswith("\r\n") else text


def inbox_lines(text):
    """An Inbox value -> its lines, each split into its four fields; a line
    must have exactly four, the id a number."""
    out = []
    for line in text.split("\r\n") if text else []:
        fields = line.split("\t")
        assert len(fields) == 4 and fields[0].isdigit(), repr(line)
        out.append(InboxLine(int(fields[0]), *fields[1:]))
    return out


def unescape(field):
    out, i = [], 0
    while i < len(field):
        if field[i] == "\\" and i + 1 < len(field):
            out.append({"\\": "\\", "t": "\t", "r": "\r", "n": "\n"}[field[i + 1]])
            i += 2
        else:
            out.append(field[i])
            i += 1
    return "".join(out)


def inbox_log_path(prefix, service="Varnix"):
    return pathlib.Path(prefix.path) / "drive_c" / "ProgramData" / "Korva" / \
        "Varnix" / f"{service}.inbox.log"


def inbox_log(prefix, service="Varnix"):
    """The lines of the inbox log (UTF-8), [] while there is none."""
    try:
        data = inbox_log_path(prefix, service).read_bytes()
    except FileNotFoundError:
        return []
    lines = [l[:-1] if l.endswith("\r") else l for l in data.decode("utf-8").split("\n")]
    return inbox_lines("\r\n".join(l for l in lines if l))


class ItemWatcher:
    """One client holding hot advise links on the items named, each in its
    format ("text" or "unicode"), until `finish`."""

    def __init__(self, app, tmp_path, items, name="watcher"):
        self.items = dict(items)
        self.stop = pathlib.Path(tmp_path) / f"{name}-stop"
        cmds = [f"advise {i} hot {f}" for i, f in self.items.items()]
        self.client = start_client(app.prefix, app.win_build, CONNECT, *cmds,
                                   "echo ADVISED", f"waitfile {self.stop} 400000")
        self.client.wait_for("ADVISED")
        out = self.output()
        assert out.words("advise") == ["ok"] * len(self.items), out.text

    def output(self):
        return ClientOutput(self.client.started.output().replace("\r", ""))

    def advised(self, item):
        """[(unix seconds, text)] of every advise of `item`."""
        unicode = self.items[item] == "unicode"
        out = []
        for r in self.output().of("advdata"):
            if r["item"] == item:
                assert int(r.get("format", CF_UNICODETEXT if unicode else 1)) == (
                    CF_UNICODETEXT if unicode else 1), r
                text = item_text(r["hex"], unicode)
                if "text" in r:  # ddeclient's UTF-8 of a CF_UNICODETEXT value
                    assert r["text"] in (text + "\r\n", text), r
                out.append((float(r["t"]) / 1000, text))
        return out

    def inbox_values(self):
        return [inbox_lines(text) for _, text in self.advised("Inbox")]

    def wait_inbox(self, count, timeout):
        """The newest Inbox value once it holds `count` lines."""
        end = time.monotonic() + timeout
        while True:
            values = self.inbox_values()
            if values and len(values[-1]) >= count:
                return values[-1]
            assert time.monotonic() < end, (
                f"no Inbox of {count} lines within {timeout} s: {values[-3:]}\n"
                f"{self.client.started.output()[-2000:]}")
            time.sleep(0.05)

    def results(self):
        out = []
        for _, line in self.advised("Result"):
            fields = line.split("\t")
            assert len(fields) == 3 and fields[0].isdigit(), repr(line)
            out.append((int(fields[0]), fields[1], fields[2]))
        return out

    def wait_state(self, message_id, states, timeout):
        """The Result lines once message `message_id` reached one of
        `states`."""
        end = time.monotonic() + timeout
        while True:
            results = self.results()
            if any(i == message_id and s in states for i, s, _ in results):
                return results
            assert time.monotonic() < end, (
                f"id {message_id} not in {states} within {timeout} s: {results[-10:]}")
            time.sleep(0.05)

    def finish(self):
        self.stop.write_text("")
        return self.client.finish()


def of_id(results, message_id):
    return [(state, detail) for i, state, detail in results if i == message_id]
