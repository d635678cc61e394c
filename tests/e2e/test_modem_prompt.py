"""The simulated modem's prompt-driven dialogue, talked to directly over its
pty (no Wine): the answers, their timing and the record the gateway's tests
rely on, before the gateway itself uses them."""
from harness.modem import PROMPT, decode_pdu, unsolicited

NUMBER = "12345678901"
# Two concatenated UCS-2 parts, reference 0A: "你好" and "世界". Each is
# 24 octets after the empty service-centre part.
HEAD = "0051000B912143658709F10008AA0A0500030A02"
PARTS = [(HEAD + "01" + "4F60597D", "你好"), (HEAD + "02" + "4E16754C", "世界")]
PROMPT_DELAY = 0.2
RESULT_DELAY = 0.5
SLACK = 1.0  # how late an answer may be on a busy machine
RING = b"\r\nRING\r\n"
CMTI = b'\r\n+CMTI: "SM",3\r\n'


def test_prompt_dialogue_over_the_pty(bare_modem):
    m, line = bare_modem, bare_modem.line
    m.set_cmgf("ok", delay=0.1)
    m.set_cmgs(prompt_delay=PROMPT_DELAY, result_delay=RESULT_DELAY, mr=255)
    m.set_unsolicited(unsolicited("RING", "prompt", part=1, delay=0.1),
                      unsolicited('+CMTI: "SM",3', "before_ok", part=2))

    t = line.write(b"at+cmgf=0\r")
    got, when = line.read_until(b"OK\r\n", 2)
    assert got == b"\r\nOK\r\n" and 0.1 <= when - t < 0.1 + SLACK

    answers = []
    for pdu, _ in PARTS:
        t = line.write(b"at+cmgs=24\r")
        got, when = line.read_until(PROMPT, 2)
        assert got == PROMPT, got
        assert PROMPT_DELAY <= when - t < PROMPT_DELAY + SLACK
        if not answers:
            # Between the prompt and the PDU, as a modem that rings would.
            got, when = line.read_until(RING, 2)
            assert got == RING, got
        t = line.write(pdu.encode() + b"\x1a")
        got, when = line.read_until(b"OK\r\n", 3)
        assert when is not None, got
        assert RESULT_DELAY <= when - t < RESULT_DELAY + SLACK
        answers.append(got)
    # The reference goes up per part and wraps after 255.
    assert answers == [b"\r\n+CMGS: 255\r\n\r\nOK\r\n",
                       b"\r\n+CMGS: 0\r\n" + CMTI + b"\r\nOK\r\n"]

    # A PDU whose length does not match its AT+CMGS is refused, and ESC
    # abandons one without an answer; neither takes a reference.
    line.write(b"at+cmgs=25\r")
    assert line.read_until(PROMPT, 2)[0] == PROMPT
    line.write(PARTS[0][0].encode() + b"\x1a")
    assert line.read_until(b"304\r\n", 3)[0] == b"\r\n+CMS ERROR: 304\r\n"
    line.write(b"at+cmgs=24\r")
    assert line.read_until(PROMPT, 2)[0] == PROMPT
    line.write(b"0051\x1b")
    assert line.read_for(RESULT_DELAY + 0.3) == b""

    # Echo back on as after a reset, and the answer in two pieces 0.1 s
    # apart: the last byte no sooner than the delay plus the gap.
    m.set_echo(0)
    m.set_split(3, 0.1)
    t = line.write(b"at+cmgf=0\r")
    got, when = line.read_until(b"OK\r\n", 2)
    assert got == b"at+cmgf=0\r\r\nOK\r\n"
    assert 0.2 <= when - t < 0.2 + SLACK

    records = m.wait_pdus(3, 5)
    assert records is not None
    assert [(r["length"], r["length_ok"], r["mr"]) for r in records] == \
        [(24, True, 255), (24, True, 0), (25, False, None)]
    assert m.mrs() == [255, 0]
    assert [a["pdu"] for a in m.abandoned()] == ["0051"]
    for record, (pdu, text), seq in zip(records, PARTS, (1, 2)):
        assert record["pdu"] == pdu
        # The PDU went out only after its prompt had.
        assert record["first_t"] >= record["prompt_due"]
        sms = decode_pdu(record["pdu"])
        assert sms["Number"].lstrip("+") == NUMBER
        assert sms["Text"] == text
        assert (sms["UDH"]["ID8bit"], sms["UDH"]["PartNumber"],
                sms["UDH"]["AllParts"]) == (0x0A, seq, 2)
