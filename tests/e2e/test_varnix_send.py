"""varnix-send against the DDE test host: the outcome as exit status."""
import subprocess
import time

from harness.dde import SERVICE, send_exe


def start_send(prefix, win_build, *args):
    return prefix.start(send_exe(win_build), *args)


def test_exit_status_follows_status(prefix, win_build, dde_host):
    for outcome, code in (("1", 0), ("0", 1)):
        n = len(dde_host.queued())
        s = start_send(prefix, win_build, "--service", SERVICE,
                       "13800000000", f"outcome {outcome}")
        assert dde_host.wait_queued(n + 1)[n:] == [
            f"13800000000,outcome {outcome}".encode()], s.output()
        time.sleep(0.2)
        assert s.running(), s.output()  # waits for the outcome
        dde_host.publish(outcome)
        assert s.wait(30) == code, s.output()
        assert s.output().replace("\r", "").splitlines()[-1] == outcome


def test_default_service_is_varnix_and_text_goes_in_the_ansi_code_page(
        prefix, win_build, dde_host_factory):
    host = dde_host_factory(name="Varnix")
    s = start_send(prefix, win_build, "13912345678", "你好 Varnix")
    assert host.wait_queued(1) == [b"13912345678," + "你好 Varnix".encode("gbk")], s.output()
    host.publish("1")
    assert s.wait(30) == 0, s.output()


def test_exit_2_when_the_gateway_cannot_help(prefix, win_build, dde_host_factory):
    # No such service.
    code, out = prefix.run(send_exe(win_build), "--service", "NoSuchGateway",
                           "--timeout", "5", "13800000000", "hi", timeout=60)
    assert code == 2
    assert "cannot reach" in out and "NoSuchGateway" in out
    # A gateway whose port did not open: the topic has no items.
    host = dde_host_factory(args=["--no-items"])
    code, out = prefix.run(send_exe(win_build), "--service", SERVICE,
                           "13800000000", "hi", timeout=60)
    assert code == 2, out
    assert "refused" in out
    # No outcome in time: accepted and still under way is 3, never 2, so
    # that a batch file does not send it again as if nothing was accepted.
    full = dde_host_factory(name="VarnixSlow")
    started = time.monotonic()
    code, out = prefix.run(send_exe(win_build), "--service", "VarnixSlow",
                           "--timeout", "2", "13800000000", "hi", timeout=60)
    elapsed = time.monotonic() - started
    assert code == 3, out
    assert "no outcome" in out and "2 s" in out and "still under way" in out
    assert 2 <= elapsed < 20
    assert full.wait_queued(1) == [b"13800000000,hi"]


def test_help_and_usage_errors(prefix, win_build):
    code, out = prefix.run(send_exe(win_build), "--help")
    assert code == 0
    for needle in ("NUMBER TEXT", "--service", "--timeout", "SMS0", "Exit status",
                   "  3  ", "  --  "):
        assert needle in out
    for args in ([], ["13800000000"], ["a", "b", "c"], ["--bogus", "1", "x"],
                 ["--timeout", "zero", "1", "x"], ["", "x"]):
        code, out = prefix.run(send_exe(win_build), *args)
        assert code == 2, (args, out)
