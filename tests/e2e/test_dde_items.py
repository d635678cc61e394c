"""Requests and pokes on the topic's items, and the send rule as a client
sees it."""
from harness.dde import SERVICE, esc, run_client, served

CONNECT = f"connect {SERVICE} SMS0"
CF_UNICODETEXT = "13"


def test_requests_serve_lines_with_crlf_and_nul_in_cf_text_only(
        prefix, win_build, dde_host):
    out = run_client(
        prefix, win_build, CONNECT,
        "request Status", "request Wakeup", "request Sleep", "request Num",
        "request SMS", "request Send",
        "request Nope", f"request Wakeup {CF_UNICODETEXT}", "request -",
        # Item names travel as global atoms, which ignore case: a name that
        # differs only in case reaches the item (the server holds the
        # names' atoms, so this is the same for every client).
        "request status",
        "poke Sleep a\\r\\nb\\r\\n", "request Sleep",
        "poke Sleep \\r\\n", "request Sleep",
        "poke Sleep hex:", "request Sleep",
        "poke Sleep x\\ry\\nz", "request Sleep",
        "poke Sleep hex:61006263", "request Sleep")
    reqs = out.of("request")
    assert [r["word"] for r in reqs] == ["ok"] * 6 + ["fail"] * 3 + ["ok"] * 6, out.text
    assert [r["hex"] for r in reqs[:6]] == [
        "00", served("1"), "00", "00", "00", "00"]
    assert reqs[9]["hex"] == "00"
    assert [r["hex"] for r in reqs[10:]] == [
        served(["a", "b"]), served(""), "00", served(["x", "y", "z"]), served("a")]
    assert out.words("poke") == ["ack"] * 5


def test_send_rule_as_clients_see_it(prefix, win_build, dde_host):
    num, sms = "13800000000", "hello world"
    out = run_client(
        prefix, win_build, CONNECT,
        f"poke Num {num}", f"poke SMS {esc(sms)}",
        # 1: "1" CR LF counts as "1"
        "poke Send 1\\r\\n", "request Send", "request Num", "request SMS",
        # " 1", "0", "11" queue nothing and stay
        "poke Send \\s1", "request Send",
        "poke Send 0", "request Send",
        "poke Send 11", "request Send",
        # 2, 3: "1" twice queues twice
        "poke Send 1", "poke Send 1", "request Send",
        # empty number: acknowledged, nothing queued, Send back to "0"
        "poke Num hex:", "poke Send 1", "request Send",
        # empty text likewise
        f"poke Num {num}", "poke SMS hex:", "poke Send 1", "request Send",
        # 4: a two-line text is queued with its first line
        "poke SMS first,line\\r\\nsecond\\sline", "poke Send 1",
        # pokes into other items never send
        "poke Status 1", "poke Wakeup 1", "poke Sleep 1", "poke Num 1",
        "request Status",
        # 5: commas in the text are taken as they are; a number with a comma
        # is queued empty, for the worker to refuse in its place
        "poke Num 123,4", "poke SMS a,b", "poke Send 1")
    assert set(out.words("poke")) == {"ack"}, out.text
    sends = [r["hex"] for r in out.of("request")]
    assert sends == [
        served("0"), served(num), served(sms),
        served(" 1"), served("0"), served("11"),
        served("0"), served("0"), served("0"), served("1"),
    ], out.text
    queued = dde_host.wait_queued(5)
    assert dde_host.settle_queue() == [
        f"{num},{sms}".encode(),
        f"{num},{sms}".encode(),
        f"{num},{sms}".encode(),
        f"{num},first,line".encode(),
        b",a,b",
    ], queued


def test_refused_pokes_store_nothing(prefix, win_build, dde_host):
    out = run_client(
        prefix, win_build, CONNECT,
        "poke Num 13800000000", "poke SMS hi",
        # Another format, even with a "1" in it, is refused.
        f"poke Send 1 {CF_UNICODETEXT}", f"poke Num 999 {CF_UNICODETEXT}",
        "poke Send 1 oem",
        # Unknown names match nothing.
        "poke Nope 1", "poke - 1", "poke Send\\s 1",
        "request Send", "request Num")
    assert out.words("poke") == ["ack", "ack"] + ["nak"] * 6, out.text
    for r in out.of("poke")[2:]:
        assert int(r["result"], 16) & 0x8000 == 0
    assert [r["hex"] for r in out.of("request")] == ["00", served("13800000000")]
    assert dde_host.settle_queue() == []


def test_gbk_text_passes_as_bytes(prefix, win_build, dde_host):
    # The prefix runs with the zh_CN locale: the ANSI code page is 936.
    out = run_client(
        prefix, win_build, CONNECT,
        "poke Num 13800000000", "poke SMS 你好，世界", "poke Send 1",
        "request SMS")
    assert out.words("poke") == ["ack"] * 3
    gbk = "你好，世界".encode("gbk")
    assert out.first("request")["hex"] == (gbk + b"\r\n\0").hex()
    assert dde_host.wait_queued(1) == [b"13800000000," + gbk]


def test_without_items_every_request_poke_and_advise_fails(
        prefix, win_build, dde_host_factory):
    host = dde_host_factory(args=["--no-items"])
    names = ["Status", "Wakeup", "Sleep", "Num", "SMS", "Send"]
    cmds = [CONNECT]
    for n in names:
        cmds += [f"request {n}", f"poke {n} 1", f"advise {n}"]
    cmds += ["execute x"]
    out = run_client(prefix, win_build, *cmds)
    assert out.words("connect") == ["ok"]
    assert out.words("request") == ["fail"] * 6, out.text
    assert out.words("poke") == ["nak"] * 6
    assert out.words("advise") == ["fail"] * 6
    # The topic itself exists: execute is acknowledged.
    assert out.words("execute") == ["ack"]
    # A publication without items is a no-op, and the host stays up.
    assert host.publish("1").endswith("status=none")
    assert host.settle_queue() == []


def test_a_send_after_shutdown_began_queues_nothing(prefix, win_build, dde_host):
    dde_host.begin_shutdown()
    out = run_client(
        prefix, win_build, CONNECT,
        "poke Num 13800000000", "poke SMS late", "poke Send 1", "request Send")
    assert out.words("poke") == ["ack"] * 3, out.text
    assert out.first("request")["hex"] == served("0")
    assert dde_host.settle_queue() == []
