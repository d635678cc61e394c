from harness.dde import SERVICE, send_exe

def test_scratch(prefix, win_build, dde_host):
    s = prefix.start(send_exe(win_build), "--service", SERVICE, "--timeout", "3", "138", "hi",
                     env={"WINEDEBUG": "+ddeml"})
    s.wait(30)
    print(s.output()[-20000:])
    assert 0
