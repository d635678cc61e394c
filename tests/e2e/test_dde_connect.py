"""Connecting to the DDE service: the service and topic rules, window-caption
topics, wildcard connects and execute."""
from harness.dde import SERVICE, run_client, served


def test_connect_accepts_our_service_or_none_and_the_topic_in_any_case(
        prefix, win_build, dde_host):
    cases = [
        (f"connect {SERVICE} SMS0", "ok"),
        ("connect - SMS0", "ok"),
        (f"connect {SERVICE} sms0", "ok"),
        ("connect - sMs0", "ok"),
        (f"connect {SERVICE.lower()} SMS0", "ok"),
        (f"connect {SERVICE.upper()} sms0", "ok"),
        ("connect Varnix SMS0", "fail"),
        (f"connect {SERVICE}X SMS0", "fail"),
        (f"connect {SERVICE} SMS1", "fail"),
        (f"connect {SERVICE} SMS", "fail"),
        ("connect - Other", "fail"),
    ]
    out = run_client(prefix, win_build, *[c for c, _ in cases])
    got = out.of("connect")
    assert [r["word"] for r in got] == [want for _, want in cases], out.text
    for r in got:
        if r["word"] == "fail":
            assert r["err"] == "0x400a"  # DMLERR_NO_CONV_ESTABLISHED


def test_a_window_caption_is_a_topic_without_items(prefix, win_build, dde_host):
    out = run_client(
        prefix, win_build,
        fr"connect {SERVICE} varnix\sdde\sHOST",
        "request Status", "request Wakeup", "poke Num 13800000000",
        "advise Status", "execute anything",
        fr"connect - Varnix\sDDE\sHost",
        r"connect - Varnix\sDDE\sHos",
        # The items are still there on the real topic.
        "connect - SMS0", "request Wakeup")
    assert out.words("connect") == ["ok", "ok", "fail", "ok"], out.text
    reqs = out.of("request")
    assert [r["word"] for r in reqs] == ["fail", "fail", "ok"], out.text
    assert reqs[2]["hex"] == served("1")
    assert out.words("poke") == ["nak"]
    assert out.words("advise") == ["fail"]
    assert out.words("execute") == ["nak"]
    assert dde_host.settle_queue() == []


def test_execute_on_the_topic_is_acknowledged_and_changes_nothing(
        prefix, win_build, dde_host):
    out = run_client(
        prefix, win_build, f"connect {SERVICE} SMS0",
        "poke Num 13800000000", "poke SMS hi",
        r"execute [Send(1)]", "execute 1", r"execute hex:",
        "request Send", "request Status", "request Num")
    assert out.words("execute") == ["ack", "ack", "ack"], out.text
    assert [r["hex"] for r in out.of("request")] == [
        "00", "00", served("13800000000")]
    assert dde_host.settle_queue() == []


def test_wildcard_initiate_answers_only_for_a_served_topic(
        prefix, win_build, dde_host):
    # DdeConnectList is a stub in Wine: broadcast WM_DDE_INITIATE and count
    # the WM_DDE_ACK answers, as a wildcard client does.
    out = run_client(
        prefix, win_build,
        "raw-initiate - -",
        "raw-initiate - SMS0",
        f"raw-initiate {SERVICE} -",
        "raw-initiate - sms0",
        "raw-initiate - Nothing",
        "raw-initiate Other SMS0",
        f"raw-initiate {SERVICE} SMS0",
        r"raw-initiate - VARNIX\sDDE\sHOST")
    counts = [int(r["acks"]) for r in out.of("raw-initiate")]
    assert counts == [0, 1, 0, 1, 0, 0, 1, 1], out.text
    acks = out.of("raw-ack")
    assert [r["app"] for r in acks] == [SERVICE] * 4
    assert [r["topic"].upper() for r in acks] == ["SMS0"] * 3 + ["VARNIX DDE HOST"]


def test_disconnect_forgets_links_and_exit_withdraws_the_service(
        prefix, win_build, dde_host, tmp_path):
    from harness.dde import start_client
    # A watcher that leaves: its link goes with its conversation, and the
    # next publication reaches the one that stays.
    out = run_client(prefix, win_build, f"connect {SERVICE} SMS0",
                     "advise Status", "disconnect")
    assert out.words("disconnect") == ["ok"]
    gone = tmp_path / "host-gone"
    stays = start_client(prefix, win_build, f"connect {SERVICE} SMS0",
                         "advise Status", "echo armed", "waitadv 1 20000",
                         "convstatus", "echo published",
                         f"waitfile {gone} 20000", "sleep 300", "convstatus",
                         "request Status")
    stays.wait_for("armed")
    dde_host.publish("1")
    stays.wait_for("published")
    # At exit open conversations are ended and the name is withdrawn.
    assert dde_host.quit() == 0
    gone.write_text("")
    out = stays.finish()
    assert [r["hex"] for r in out.of("advdata")] == [served("1")]
    assert [r["connected"] for r in out.of("convstatus")] == ["1", "0"], out.text
    assert out.words("request") == ["fail"]
    out = run_client(prefix, win_build, f"connect {SERVICE} SMS0",
                     "raw-initiate - SMS0")
    assert out.words("connect") == ["fail"]
    assert out.first("raw-initiate")["acks"] == "0"
