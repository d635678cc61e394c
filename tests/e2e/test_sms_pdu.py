"""The PDUs the end-to-end tests put on the simulated modem's SIM, read back
by an independent decoder (python3-gammu): the incoming messages built by
harness/sms_pdu.py and the status reports the simulated modem makes for a
sent PDU that asks for one (tools/simmodem/store.py). No Wine needed."""
import datetime
import sys

import gammu
import pytest

from harness.modem import ROOT
from harness.sms_pdu import (SMSC, address, deliver, pack7, septets,
                             status_report, timestamp, tpdu_length)

sys.path.insert(0, str(ROOT / "tools" / "simmodem"))
import store  # noqa: E402  the simulated modem's own report builder

GSM7, UCS2 = "Default_No_Compression", "Unicode_No_Compression"
AT = datetime.datetime(2026, 12, 8, 12, 34, 56)
EXT = "[€]{x}~\\|^ ok"

# (builder's output, what gammu must read: sender, text, coding, class,
# UDH type, reference, total, part)
CASES = [
    ("gsm extension", deliver("+8613912345678", EXT, coding="gsm"),
     "+8613912345678", EXT, GSM7, -1, "NoUDH", None, None, None),
    ("ucs2 emoji", deliver("+8613912345678", "收到😀 ok"),
     "+8613912345678", "收到😀 ok", UCS2, -1, "NoUDH", None, None, None),
    ("alphanumeric", deliver("ALERT-7", "hi", coding="gsm"),
     "ALERT-7", "hi", GSM7, -1, "NoUDH", None, None, None),
    ("national", deliver("13912345678", "x", coding="gsm", tz=-20),
     "13912345678", "x", GSM7, -1, "NoUDH", None, None, None),
    ("concat 00 gsm", deliver("10086", "abc" * 51, coding="gsm", concat=(0x21, 3, 3)),
     "10086", "abc" * 51, GSM7, -1, "ConcatenatedMessages", 0x21, 3, 3),
    ("concat 00 ucs2", deliver("10086", "第一部分", concat=(0xFE, 3, 1)),
     "10086", "第一部分", UCS2, -1, "ConcatenatedMessages", 0xFE, 3, 1),
    ("concat 08", deliver("+8613912345678", "二", concat=(0x1234, 2, 2), concat16=True),
     "+8613912345678", "二", UCS2, -1, "ConcatenatedMessages16bit", 0x1234, 2, 2),
    ("8bit class 1", deliver("10086", data=b"\x01\xff\x00", coding="8bit", cls=1),
     "10086", b"\x01\xff\x00", "8bit", 1, "NoUDH", None, None, None),
    ("class 0", deliver("10086", "flash", coding="gsm", cls=0),
     "10086", "flash", GSM7, 0, "NoUDH", None, None, None),
]


def decode(pdu):
    return gammu.DecodePDU(bytes.fromhex(pdu), SMSC=True)


def test_deliver_pdus_read_back_by_gammu():
    for name, pdu, number, text, coding, cls, udh, ref, total, part in CASES:
        sms = decode(pdu)
        got = sms["Text"]
        if coding == GSM7 and isinstance(got, str):
            # gammu reads a 7-bit text with extension characters into as many
            # characters as the text has septets, whatever follows them.
            got = got[:len(text)]
        assert (sms["Type"], sms["Number"], got, sms["Coding"], sms["Class"]) == \
            ("Deliver", number, text, coding, cls), name
        assert sms["SMSC"]["Number"] == SMSC, name
        assert sms["DateTime"] == AT, name
        assert sms["UDH"]["Type"] == udh, name
        if ref is not None:
            key = "ID16bit" if udh.endswith("16bit") else "ID8bit"
            assert (sms["UDH"][key], sms["UDH"]["AllParts"], sms["UDH"]["PartNumber"]) \
                == (ref, total, part), name
        # The service-centre part of +8613800250500 is 9 octets.
        assert tpdu_length(pdu) == len(bytes.fromhex(pdu)) - 9, name


def test_known_octets():
    """What gammu does not show: the time zone's sign, the fill bits before
    the septets after a header, an element before the concatenation."""
    assert timestamp((2026, 12, 8, 12, 34, 56), 32).hex() == "62218021436523"
    assert timestamp((2026, 12, 8, 12, 34, 56), -20).hex() == "6221802143650a"
    assert septets("€a") == [0x1B, 0x65, 0x61]
    with pytest.raises(ValueError):
        septets("好")
    assert pack7(septets("hi")).hex() == "e834"
    assert pack7([0x61], 1).hex() == "c2"
    # 5 septets are 35 bits: 9 semi-octets.
    assert address("ALERT") == bytes([9, 0xD0]) + pack7(septets("ALERT"))
    # A header of 6 octets: one fill bit, then the septets; the UDL counts
    # the header in septets (7) plus the text.
    pdu = deliver("10086", "a", coding="gsm", concat=(1, 2, 1), smsc="")
    assert pdu.endswith("08050003010201C2"), pdu
    other = deliver("10086", "x", coding="gsm", extra_ie=[(0x0A, b"\x00\x03\x00\x00")],
                    concat=(5, 2, 2))
    sms = decode(other)
    assert sms["UDH"]["Text"] == bytes.fromhex("0B0A04000300000003050202")
    assert sms["Text"][:1] == "x"


def test_status_reports_read_back_by_gammu():
    reports = [
        ("delivered", status_report(7, "+8613812345678", 0x00,
                                    discharge=(2026, 12, 8, 12, 35, 1)), 7, "+8613812345678", 0),
        ("failed", status_report(255, "13812345678", 0x46), 255, "13812345678", 0x46),
        ("still trying", status_report(0, "+8613812345678", 0x20), 0, "+8613812345678", 0x20),
        # What the simulated modem stores by itself for a sent PDU.
        ("modem's", store.status_report(42, "12345678901", 0x91, 0x41,
                                        "2026-12-08 12:35:01", 32), 42, "+12345678901", 0x41),
    ]
    for name, pdu, mr, number, st in reports:
        sms = decode(pdu)
        assert (sms["Type"], sms["MessageReference"], sms["Number"], sms["DeliveryStatus"]) \
            == ("Status_Report", mr, number, st), name
        assert sms["SMSC"]["Number"] == SMSC, name
    assert decode(reports[0][1])["SMSCDateTime"] == datetime.datetime(2026, 12, 8, 12, 35, 1)
    assert decode(reports[3][1])["SMSCDateTime"] == datetime.datetime(2026, 12, 8, 12, 35, 1)
    assert tpdu_length(reports[0][1]) == 26  # 1+1+9+7+7+1
    # The modem takes the recipient from the SUBMIT it answered.
    assert store.recipient("0031000B912143658709F10008AA044F60597D") == ("12345678901", 0x91, 0x31)
    assert store.recipient("00010005810180F6") == ("10086", 0x81, 0x01)
    assert store.recipient("0031000B91214365") is None
