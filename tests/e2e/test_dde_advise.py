"""Advise links: the publication of every outcome in Status, the
notifications of pokes, and the end of a link."""
import time

from harness.dde import SERVICE, run_client, served, start_client

CONNECT = f"connect {SERVICE} SMS0"


def advdata(out, item):
    return [r["hex"] for r in out.of("advdata") if r["item"] == item]


def test_every_watcher_of_status_gets_every_publication(
        prefix, win_build, dde_host):
    watchers = [
        start_client(prefix, win_build, CONNECT, "advise Status",
                     f"echo armed{i}", "waitadv 4 30000", "sleep 400",
                     "request Status")
        for i in range(3)]
    for i, w in enumerate(watchers):
        w.wait_for(f"armed{i}")
    # Starting a link sends nothing; a request for Status before any send
    # is the single NUL.
    out = run_client(prefix, win_build, CONNECT, "request Status")
    assert out.first("request")["hex"] == "00"
    time.sleep(0.3)
    for w in watchers:
        assert "advdata" not in w.started.output()

    assert dde_host.publish("1").endswith("status=31")
    assert dde_host.publish("1").endswith("status=31")  # a repeat is news too
    assert dde_host.senddone(5).endswith("status=31")   # ignored
    # A poke into Status is stored, told to the watchers and served...
    poke = run_client(prefix, win_build, CONNECT, "poke Status x",
                      "request Status")
    assert poke.first("poke")["word"] == "ack"
    assert poke.first("request")["hex"] == served("x")
    # ...until the next publication overwrites it.
    assert dde_host.publish("0").endswith("status=30")

    for w in watchers:
        out = w.finish()
        assert out.first("advise")["word"] == "ok"
        assert out.first("waitadv")["word"] == "ok", out.text
        assert advdata(out, "Status") == [
            served("1"), served("1"), served("x"), served("0")], out.text
        assert out.first("request")["hex"] == served("0")


def test_a_watcher_of_send_sees_one_then_zero(prefix, win_build, dde_host):
    watcher = start_client(prefix, win_build, CONNECT, "advise Send",
                           "echo armed", "waitadv 3 30000", "sleep 300")
    watcher.wait_for("armed")
    out = run_client(prefix, win_build, CONNECT,
                     "poke Num 13800000000", "poke SMS hi", "poke Send 1",
                     "poke Send 0")
    assert out.words("poke") == ["ack"] * 4
    got = watcher.finish()
    # "1" from the poke itself, "0" from the reset, then the second poke.
    assert advdata(got, "Send") == [served("1"), served("0"), served("0")], got.text
    assert dde_host.wait_queued(1) == [b"13800000000,hi"]
    assert dde_host.settle_queue() == [b"13800000000,hi"]


def test_a_stopped_link_gets_nothing_more(prefix, win_build, dde_host):
    watcher = start_client(prefix, win_build, CONNECT, "advise Status",
                           "echo armed", "waitadv 1 30000", "unadvise Status",
                           "echo stopped", "sleep 1500")
    watcher.wait_for("armed")
    dde_host.publish("1")
    watcher.wait_for("stopped")
    dde_host.publish("0")
    out = watcher.finish()
    assert out.first("unadvise")["word"] == "ok"
    assert advdata(out, "Status") == [served("1")], out.text


def test_advise_needs_cf_text_and_a_known_item(prefix, win_build, dde_host):
    out = run_client(prefix, win_build, CONNECT,
                     "advise Status hot 13", "advise Nope", "advise Status",
                     "advise Send warm")
    assert out.words("advise") == ["fail", "fail", "ok", "ok"], out.text
