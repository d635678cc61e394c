"""The incoming PDUs of tests/data/incoming_pdus.tsv, decoded by python-gammu.

The same table gives the C++ decoder its known answers
(tests/unit/pdu_decoder_test.cpp); here an independent decoder must agree on
the sender, the text, the time stamps, the concatenation and the status of
every good PDU, and must refuse the broken ones the table says it refuses.

Run by ctest (test incoming_gammu) or by hand:
    /usr/bin/python3 -m pytest -q tests/native/test_incoming_gammu.py
"""
import datetime
import os

import gammu
import pytest

TABLE = os.path.join(os.path.dirname(__file__), "..", "data", "incoming_pdus.tsv")

# GSM 03.38 default alphabet by septet and the extension table, written out
# here independently of the C++ tables: gammu hands back an alphanumeric
# sender with its escapes undone only to the basic table ("\x1b<" for "[").
DEFAULT = ("@£$¥èéùìòÇ\nØø\rÅåΔ_ΦΓΛΩΠΨΣΘΞ\x1bÆæßÉ !\"#¤%&'()*+,-./0123456789:;<=>?"
           "¡ABCDEFGHIJKLMNOPQRSTUVWXYZÄÖÑÜ§¿abcdefghijklmnopqrstuvwxyzäöñüà")
EXTENSION = {0x0A: "\f", 0x14: "^", 0x28: "{", 0x29: "}", 0x2F: "\\", 0x3C: "[", 0x3D: "~",
             0x3E: "]", 0x40: "|", 0x65: "€"}
UNESCAPE = {"\\": "\\", "t": "\t", "n": "\n", "r": "\r", "f": "\f"}


def unescape(s):
    out, i = [], 0
    while i < len(s):
        if s[i] == "\\" and i + 1 < len(s):
            out.append(UNESCAPE.get(s[i + 1], s[i + 1]))
            i += 2
        else:
            out.append(s[i])
            i += 1
    return "".join(out)


def rows():
    with open(TABLE, encoding="utf-8") as f:
        for line in f:
            line = line.rstrip("\n")
            if line and not line.startswith("#"):
                yield line.split("\t")


ROWS = list(rows())


def naive(stamp):
    """"yyyy-mm-dd hh:mm:ss±hh:mm" -> the local time alone: gammu drops the zone."""
    return datetime.datetime.strptime(stamp[:19], "%Y-%m-%d %H:%M:%S")


def gsm_escapes(text):
    out, i = [], 0
    while i < len(text):
        if text[i] == "\x1b" and i + 1 < len(text):
            out.append(EXTENSION.get(DEFAULT.index(text[i + 1]), text[i + 1]))
            i += 2
        else:
            out.append(text[i])
            i += 1
    return "".join(out)


def concat_of(udh):
    """(reference, total, seq) from gammu's header, or None. gammu names the
    concatenation only when it is the header's sole element; otherwise its
    elements are walked here from the header octets gammu hands back."""
    if udh["Type"] == "ConcatenatedMessages":
        return udh["ID8bit"], udh["AllParts"], udh["PartNumber"]
    if udh["Type"] == "ConcatenatedMessages16bit":
        return udh["ID16bit"], udh["AllParts"], udh["PartNumber"]
    raw = udh["Text"]
    i = 1
    while i + 1 < len(raw):
        iei, length = raw[i], raw[i + 1]
        e = raw[i + 2:i + 2 + length]
        if iei == 0 and length == 3:
            return e[0], e[1], e[2]
        if iei == 8 and length == 4:
            return (e[0] << 8) | e[1], e[2], e[3]
        i += 2 + length
    return None


CODING = {"gsm7": "Default_No_Compression", "ucs2": "Unicode_No_Compression", "data8": "8bit"}


@pytest.mark.parametrize("row", [r for r in ROWS if r[2] == "deliver"], ids=lambda r: r[0])
def test_deliver(row):
    name, pdu, _, sender, toa, scts, dcs, coding, cls, concat, text = row
    d = gammu.DecodePDU(bytes.fromhex(pdu), SMSC=True)
    assert d["Type"] == "Deliver"
    number = gsm_escapes(d["Number"]) if (int(toa, 16) & 0x70) == 0x50 else d["Number"]
    assert number == sender
    assert d["DateTime"] == naive(scts)
    assert d["Coding"] == CODING[coding]
    assert d["Class"] == int(cls)
    if coding == "data8":
        assert d["Text"].hex().upper() == text
    else:
        got = d["Text"]
        if coding == "gsm7":
            # gammu's 7-bit text carries its buffer on after the C string's
            # NUL; no septet decodes to U+0000, so the text ends there.
            got = got.split("\x00")[0]
        assert got == unescape(text)
    want = None if concat == "-" else tuple(int(x) for x in concat.split("/"))
    assert concat_of(d["UDH"]) == want


@pytest.mark.parametrize("row", [r for r in ROWS if r[2] == "report"], ids=lambda r: r[0])
def test_status_report(row):
    name, pdu, _, recipient, toa, scts, discharge, status, reference = row
    d = gammu.DecodePDU(bytes.fromhex(pdu), SMSC=True)
    assert d["Type"] == "Status_Report"
    assert d["Number"] == recipient
    assert d["MessageReference"] == int(reference)
    assert d["DeliveryStatus"] == int(status, 16)
    # gammu: DateTime is the service centre's stamp, SMSCDateTime the discharge.
    assert d["DateTime"] == naive(scts)
    assert d["SMSCDateTime"] == naive(discharge)


@pytest.mark.parametrize("row", [r for r in ROWS if r[2] == "error"], ids=lambda r: r[0])
def test_broken(row):
    """Where gammu refuses a PDU too, it must keep refusing it; where it is
    more forgiving than we are (a time stamp that is no date, an SMS-SUBMIT
    on the SIM ...), the table says so and that stays true as well."""
    name, pdu, _, kind, gammu_does = row
    try:
        data = bytes.fromhex(pdu)
        d = gammu.DecodePDU(data, SMSC=True)
    except (ValueError, gammu.GSMError):
        refused = True
    else:
        refused = False
        if kind == "unsupported":
            assert d["Type"] == "Submit"
    assert refused == (gammu_does == "rejects")


def test_table_covers_the_cases():
    kinds = [r[2] for r in ROWS]
    assert kinds.count("deliver") >= 18 and kinds.count("report") >= 4
    assert {r[3] for r in ROWS if r[2] == "error"} == {"bad_hex", "truncated", "bad_field",
                                                        "unsupported"}
