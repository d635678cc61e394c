"""PDUs a network delivers to a modem, as the modem lists them after
"AT+CMGL=4": the service-centre address in front, then the TPDU.

    deliver("+8613912345678", "收到")                    # UCS-2
    deliver("10086", "[ok]", coding="gsm")             # GSM 7-bit, extension chars
    deliver("ALERT", "hi", coding="gsm")               # alphanumeric sender
    deliver("+86139...", data=b"\\x01\\x02", coding="8bit", cls=1)
    deliver(..., concat=(ref, total, seq))             # header element 00
    deliver(..., concat=(ref, total, seq), concat16=True)  # element 08
    deliver(..., extra_ie=[(0x0A, b"\\x00\\x03\\x00\\x00")])  # before the concat
    status_report(mr, "+8613812345678", st=0x00)       # TP-ST 0: delivered
    tpdu_length(pdu)                                   # what +CMGL says

Every one is checked against python3-gammu in tests/e2e/test_sms_pdu.py.
Times are (year, month, day, hour, minute, second) of the sender's clock,
with the time zone in quarter-hours (32: +08:00, -20: -05:00).
"""
SMSC = "+8613800250500"
WHEN = (2026, 12, 8, 12, 34, 56)

GSM_BASIC = ("@£$¥èéùìòÇ\nØø\rÅåΔ_ΦΓΛΩΠΨΣΘΞ\x1bÆæßÉ !\"#¤%&'()*+,-./0123456789:;<=>?"
             "¡ABCDEFGHIJKLMNOPQRSTUVWXYZÄÖÑÜ§¿abcdefghijklmnopqrstuvwxyzäöñüà")
GSM_EXTENSION = {"\f": 0x0A, "^": 0x14, "{": 0x28, "}": 0x29, "\\": 0x2F,
                 "[": 0x3C, "~": 0x3D, "]": 0x3E, "|": 0x40, "€": 0x65}
assert len(GSM_BASIC) == 128


def septets(text):
    """The GSM 7-bit default alphabet codes of `text` (an extension
    character is ESC and its code); ValueError for one it lacks."""
    out = []
    for ch in text:
        if ch in GSM_EXTENSION:
            out += [0x1B, GSM_EXTENSION[ch]]
        elif ch != "\x1b" and ch in GSM_BASIC:
            out.append(GSM_BASIC.index(ch))
        else:
            raise ValueError(f"{ch!r} is not in the GSM 7-bit alphabet")
    return out


def pack7(codes, fill_bits=0):
    """Septets packed LSB first, after `fill_bits` zero bits."""
    value, nbits = 0, fill_bits
    for c in codes:
        value |= (c & 0x7F) << nbits
        nbits += 7
    return value.to_bytes((nbits + 7) // 8, "little") if nbits else b""


def semi_octets(digits):
    if len(digits) % 2:
        digits += "F"
    return bytes(int(digits[i + 1] + digits[i], 16) for i in range(0, len(digits), 2))


def address(number):
    """TP-OA / TP-RA: length in semi-octets, type of address, value. "+"
    numbers are international (91), other digits of unknown type (81),
    anything else alphanumeric (D0) in packed GSM 7-bit."""
    if number.startswith("+") and number[1:].isdigit():
        digits = number[1:]
        return bytes([len(digits), 0x91]) + semi_octets(digits)
    if number.isdigit():
        return bytes([len(number), 0x81]) + semi_octets(number)
    packed = pack7(septets(number))
    return bytes([(len(septets(number)) * 7 + 3) // 4, 0xD0]) + packed


def smsc_field(number=SMSC):
    if not number:
        return b"\x00"
    value = bytes([0x91]) + semi_octets(number.lstrip("+"))
    return bytes([len(value)]) + value


def timestamp(when=WHEN, tz=32):
    y, mo, d, h, mi, s = when
    out = semi_octets("".join(f"{v % 100:02d}" for v in (y, mo, d, h, mi, s)))
    q = semi_octets(f"{abs(tz):02d}")[0]
    return out + bytes([q | (0x08 if tz < 0 else 0)])


def deliver(sender, text="", *, coding="ucs2", data=None, when=WHEN, tz=32,
            concat=None, concat16=False, extra_ie=(), cls=None, smsc=SMSC,
            pid=0):
    """An SMS-DELIVER as hex. coding "gsm", "ucs2" or "8bit" (`data`
    bytes); concat (reference, total, sequence); cls 0-3 sets the class
    bits of the DCS."""
    dcs = {"gsm": 0x00, "8bit": 0x04, "ucs2": 0x08}[coding]
    if cls is not None:
        dcs |= 0x10 | (cls & 0x03)
    ies = b"".join(bytes([iei, len(v)]) + bytes(v) for iei, v in extra_ie)
    if concat is not None:
        ref, total, seq = concat
        if concat16:
            ies += bytes([0x08, 4, (ref >> 8) & 0xFF, ref & 0xFF, total, seq])
        else:
            ies += bytes([0x00, 3, ref & 0xFF, total, seq])
    udh = bytes([len(ies)]) + ies if ies else b""
    if coding == "gsm":
        codes = septets(text)
        fill = (7 - len(udh) * 8 % 7) % 7 if udh else 0
        # The header's octets, then the text's septets after the fill bits
        # that bring it to a septet boundary.
        body = udh + pack7(codes, fill)
        udl = (len(udh) * 8 + fill) // 7 + len(codes)
    else:
        payload = text.encode("utf-16-be") if coding == "ucs2" else bytes(data or b"")
        body = udh + payload
        udl = len(body)
    first = 0x04 | (0x40 if udh else 0)  # SMS-DELIVER, no more messages waiting
    tpdu = (bytes([first]) + address(sender) + bytes([pid, dcs]) +
            timestamp(when, tz) + bytes([udl]) + body)
    return (smsc_field(smsc) + tpdu).hex().upper()


def status_report(mr, recipient, st=0x00, *, when=WHEN, discharge=None, tz=32,
                  smsc=SMSC):
    """An SMS-STATUS-REPORT as hex: reference `mr`, TP-RA `recipient`,
    TP-SCTS `when`, TP-DT `discharge` (default `when`), TP-ST `st`."""
    tpdu = (bytes([0x06, mr & 0xFF]) + address(recipient) + timestamp(when, tz) +
            timestamp(discharge or when, tz) + bytes([st & 0xFF]))
    return (smsc_field(smsc) + tpdu).hex().upper()


def tpdu_length(pdu):
    """The octets after the service-centre part, as +CMGL counts them."""
    octets = bytes.fromhex(pdu)
    return len(octets) - 1 - octets[0]


def garbled(pdu, keep):
    """The first `keep` octets of a PDU (with the service centre), so its
    lengths promise more than there is."""
    return pdu[:2 * keep]
