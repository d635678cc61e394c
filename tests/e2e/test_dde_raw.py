"""A client speaking the DDE messages directly, as Excel and old Visual Basic
programs do: initiate, advise on Status, poke, request, data."""
from harness.dde import SERVICE, run_client, served, start_client


def test_raw_dde_flow(prefix, win_build, dde_host, tmp_path):
    go = tmp_path / "published"
    client = start_client(
        prefix, win_build,
        f"raw-initiate {SERVICE} SMS0",
        "raw-advise Status",
        "raw-advise Nope",
        "raw-poke Num 13800000000", "raw-poke SMS raw\\stext",
        "raw-poke Send 1",
        "raw-request Send",
        "raw-request Nope",
        "echo armed",
        f"waitfile {go} 30000", "sleep 300",
        "raw-unadvise Status",
        "raw-terminate")
    client.wait_for("armed")
    assert dde_host.wait_queued(1) == [b"13800000000,raw text"]
    dde_host.publish("1")
    go.write_text("")
    out = client.finish()
    assert out.first("raw-initiate")["acks"] == "1", out.text
    assert out.words("raw-advise") == ["ack", "nak"]
    assert out.words("raw-poke") == ["ack"] * 3
    reqs = out.of("raw-request")
    assert reqs[0]["word"] == "data" and reqs[0]["hex"] == served("0")
    assert reqs[1]["word"] == "nak"
    data = [r for r in out.of("raw-data")]
    assert [(r["item"], r["hex"]) for r in data] == [("Status", served("1"))], out.text
    assert out.words("raw-unadvise") == ["ack"]
    assert out.words("raw-terminate") == ["ok"]
    assert dde_host.settle_queue() == [b"13800000000,raw text"]


def test_raw_poke_of_another_format_is_refused(prefix, win_build, dde_host):
    # The ddeclient raw poke always says CF_TEXT; a DDEML poke in
    # CF_UNICODETEXT covers the format check. Here the raw path must at
    # least refuse an unknown item and keep the items unchanged.
    out = run_client(prefix, win_build, f"raw-initiate - SMS0",
                     "raw-poke Sendx 1", "raw-request Send")
    assert out.words("raw-poke") == ["nak"], out.text
    assert out.first("raw-request")["hex"] == "00"
