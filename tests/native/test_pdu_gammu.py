"""The SMS-SUBMIT PDUs of long messages, read back by an independent decoder.

Every case goes through the native PDU filter (tests/unit/tools/pdu_filter.cpp,
path in VARNIX_PDU_FILTER) and every PDU it writes is decoded by python-gammu:
the number, the alphabet (DCS), the concatenation header, the AT+CMGS length
and the text of every part must be what a receiving phone would make of them,
and the parts joined by gammu must give the text back (up to what the Parts
setting drops).

Run by ctest (test pdu_gammu) or by hand:
    VARNIX_PDU_FILTER=build/native/tests/unit/varnix_pdu_filter \
        /usr/bin/python3 -m pytest -q tests/native/test_pdu_gammu.py
"""
import os
import random
import subprocess

import gammu
import pytest

FILTER = os.environ.get("VARNIX_PDU_FILTER", "")

# The GSM 03.38 default alphabet by septet (ESC at 0x1B) and the extension
# table's characters, written out here independently of the C++ tables.
DEFAULT = ("@£$¥èéùìòÇ\nØø\rÅåΔ_ΦΓΛΩΠΨΣΘΞ\x1bÆæßÉ !\"#¤%&'()*+,-./0123456789:;<=>?"
           "¡ABCDEFGHIJKLMNOPQRSTUVWXYZÄÖÑÜ§¿abcdefghijklmnopqrstuvwxyzäöñüà")
EXTENSION = "\f^{}\\[~]|€"
assert len(DEFAULT) == 128

GSM7 = "Default_No_Compression"
UCS2 = "Unicode_No_Compression"


def septets(text):
    """Septets of a text, or None when a character has no GSM 7-bit form."""
    n = 0
    for ch in text:
        if ch in EXTENSION:
            n += 2
        elif ch in DEFAULT and ch != "\x1b":
            n += 1
        else:
            return None
    return n


def utf16_units(text):
    return len(text.encode("utf-16-be")) // 2


def run_filter(cases):
    """cases: (number, parts, alphabet, report, reference, text) -> per case
    a list of (cmgs length, pdu)."""
    assert FILTER and os.path.exists(FILTER), "set VARNIX_PDU_FILTER to the built filter"
    lines = []
    for number, parts, alphabet, report, ref, text in cases:
        hex_units = text.encode("utf-16-be").hex().upper()
        lines.append(f"{number}\t{parts}\t{alphabet}\t{int(report)}\t{ref}\t{hex_units}\n")
    out = subprocess.run([FILTER], input="".join(lines), capture_output=True, text=True,
                         timeout=60, check=True).stdout.splitlines()
    assert len(out) == len(cases)
    return [[(int(item.split(":")[0]), item.split(":")[1]) for item in line.split()]
            for line in out]


def decoded_text(d, pdu):
    if d["Coding"] == GSM7:
        # python-gammu hands back a 7-bit text as many characters as it had
        # septets; after escapes the rest of its buffer follows the C
        # string's NUL. No GSM character decodes to U+0000: the text ends there.
        return d["Text"].split("\x00")[0]
    # gammu's UCS-2 text mangles "~" and what follows it ("a~b" comes back
    # as "a~~"), so the text is read from the user data itself, behind
    # gammu's own header length, and gammu's must agree where it can.
    digits = int(pdu[6:8], 16)
    udl_at = 10 + 2 * ((digits + 1) // 2) + 6
    udl = int(pdu[udl_at:udl_at + 2], 16)
    user_data = bytes.fromhex(pdu[udl_at + 2:])
    assert len(user_data) == udl
    user_data = user_data[len(d["UDH"]["Text"]):]
    text = user_data.decode("utf-16-be", errors="surrogatepass")
    if "~" not in text:
        assert d["Text"] == text
    return text


def check_message(case, pdus):
    """Decodes every part of one message and checks it; returns the texts."""
    number, parts_setting, alphabet, report, ref, text = case
    coding = GSM7 if alphabet == 1 and septets(text) is not None else UCS2
    total = len(pdus)
    texts = []
    decoded = []
    for seq, (cmgs, pdu) in enumerate(pdus, start=1):
        d = gammu.DecodePDU(bytes.fromhex(pdu), SMSC=True)
        decoded.append(d)
        assert d["Type"] == "Submit"
        assert d["Number"] == number
        assert d["Coding"] == coding
        assert d["SMSC"]["Validity"] == "4D"
        assert pdu[:2] == "00", "empty service-centre address"
        first = 0x11 | (0x20 if report else 0) | (0x40 if total > 1 else 0)
        assert int(pdu[2:4], 16) == first
        assert pdu[4:6] == "00", "message reference left to the modem"
        assert cmgs == len(pdu) // 2 - 1
        assert pdu == pdu.upper()
        udh = d["UDH"]
        part_text = decoded_text(d, pdu)
        if total == 1:
            assert udh["Type"] == "NoUDH"
            limit = 160 if coding == GSM7 else 70
        else:
            assert udh["Type"] == "ConcatenatedMessages"
            assert (udh["ID8bit"], udh["AllParts"], udh["PartNumber"]) == (ref, total, seq)
            assert udh["Text"] == bytes([5, 0, 3, ref, total, seq])
            limit = 153 if coding == GSM7 else 67
        size = septets(part_text) if coding == GSM7 else utf16_units(part_text)
        assert size <= limit
        # Never half a surrogate pair: gammu would hand back a lone one.
        assert not any(0xD800 <= ord(ch) <= 0xDFFF for ch in part_text)
        texts.append(part_text)

    joined = "".join(texts)
    assert text.startswith(joined)
    max_parts = 1 if parts_setting < 2 else min(parts_setting, 255)
    if joined != text:
        # Text is dropped only when every part is full.
        assert total == max_parts
    # Each full part was filled up to the last character that fits.
    rest = text[len(joined):]
    for i, part_text in enumerate(texts):
        following = texts[i + 1] if i + 1 < len(texts) else rest
        if not following:
            continue
        nxt = following[0]
        if coding == GSM7:
            assert septets(part_text) + septets(nxt) > limit
        else:
            assert utf16_units(part_text) + utf16_units(nxt) > limit
    if total > 1:
        linked = gammu.LinkSMS([[d] for d in decoded])
        assert len(linked) == 1 and len(linked[0]) == total
        info = gammu.DecodeSMS(linked[0])
        if coding == GSM7 or "~" not in joined:  # the "~" of UCS-2 again
            assert info["Entries"][0]["Buffer"] == joined
    return texts


EURO_CUT = "a" * 152 + "€" + "b" * 5       # 159 septets: one SMS
EURO_STRADDLE = "a" * 152 + "€" + "b" * 10  # the escape would straddle 153
EMOJI = "\U0001F600"

# (name, case, expected texts of the parts)
KNOWN = [
    ("ucs2 one sms", ("12345678901", 0, 0, False, 0, "abc"), ["abc"]),
    ("ucs2 71 units, parts 2",
     ("12345678901", 2, 0, False, 9, "你" * 71), ["你" * 67, "你" * 4]),
    ("ucs2 71 units, parts 0 cuts at 70",
     ("12345678901", 0, 0, False, 0, "你" * 71), ["你" * 70]),
    ("gsm 160 septets one pdu",
     ("12345678901", 2, 1, False, 1, "x" * 160), ["x" * 160]),
    ("gsm 161 septets two parts",
     ("12345678901", 2, 1, False, 2, "x" * 161), ["x" * 153, "x" * 8]),
    ("gsm escapes", ("+8613800138000", 0, 1, False, 0, "[]{}€~^\\|\f"), ["[]{}€~^\\|\f"]),
    ("gsm whole alphabet", ("5", 0, 1, False, 0, DEFAULT.replace("\x1b", "")),
     [DEFAULT.replace("\x1b", "")]),
    ("gsm escape fits one sms", ("12345678901", 2, 1, False, 3, EURO_CUT), [EURO_CUT]),
    ("gsm escape moved whole to the next part",
     ("12345678901", 2, 1, False, 4, EURO_STRADDLE), ["a" * 152, "€" + "b" * 10]),
    ("ucs2 surrogate pair at unit 67",
     ("12345678901", 2, 0, False, 5, "a" * 66 + EMOJI + "b" * 10),
     ["a" * 66, EMOJI + "b" * 10]),
    ("parts 3, four parts' worth",
     ("12345678901", 3, 1, False, 200, "y" * (153 * 4)), ["y" * 153] * 3),
    ("alphabet 1 with a chinese character is ucs2",
     ("12345678901", 2, 1, False, 6, "hello 你"), ["hello 你"]),
    ("status report", ("12345678901", 2, 1, True, 255, "z" * 200), ["z" * 153, "z" * 47]),
    ("status report single", ("12345678901", 0, 0, True, 0, "ok"), ["ok"]),
]


@pytest.mark.parametrize("name,case,expected", KNOWN, ids=[k[0] for k in KNOWN])
def test_known_cases(name, case, expected):
    (pdus,) = run_filter([case])
    assert check_message(case, pdus) == expected


def test_random_messages():
    rng = random.Random(20261208)
    pools = [
        DEFAULT.replace("\x1b", ""),
        DEFAULT.replace("\x1b", "") + EXTENSION * 4,
        "abc你好世界" + EXTENSION,
        "xy" + EMOJI + "\U0010FFFF\U00100000" + "汉",
    ]
    cases = []
    for _ in range(300):
        pool = rng.choice(pools)
        length = rng.choice([0, 1, 66, 67, 68, 69, 70, 71, 152, 153, 154, 159, 160, 161,
                             rng.randrange(0, 700)])
        text = "".join(rng.choice(pool) for _ in range(length))
        number = rng.choice(["12345678901", "+8613800138000", "10086", "1"])
        cases.append((number, rng.choice([0, 1, 2, 3, 7, 255]), rng.choice([0, 1]),
                      rng.random() < 0.3, rng.randrange(256), text))
    for case, pdus in zip(cases, run_filter(cases)):
        check_message(case, pdus)
