#include "sms/PduDecoder.h"

#include <array>
#include <cstdio>
#include <vector>

#include "sms/Gsm7.h"
#include "text/Utf.h"

namespace varnix {
namespace {

constexpr std::size_t kMaxAddressDigits = 20;  // semi-octets of TP-OA / TP-RA
constexpr std::size_t kMaxServiceCentreOctets = 11;  // type and ten octets of digits
constexpr int kMaxSeptets = 160;
constexpr int kMaxOctets = 140;

// The septet tables, the other way round. They are built from the
// encoder's own tables so that what we send and what we read can never
// disagree on a character.
struct Gsm7Decoding {
  std::array<char16_t, 128> basic{};
  std::array<char16_t, 128> extension{};  // 0: no character after ESC
};

const Gsm7Decoding& Gsm7Tables() {
  static const Gsm7Decoding tables = [] {
    Gsm7Decoding t;
    // Every character of both tables is at or below the euro sign.
    for (char32_t u = 1; u <= 0x20AC; ++u) {
      std::vector<std::uint8_t> s;
      if (!AppendGsm7(static_cast<char16_t>(u), s)) continue;
      if (s.size() == 1) t.basic[s[0]] = static_cast<char16_t>(u);
      if (s.size() == 2) t.extension[s[1] & 0x7F] = static_cast<char16_t>(u);
    }
    return t;
  }();
  return tables;
}

// Septets to text. An extension code we have no character for shows as the
// basic table's character (what a phone does); ESC ESC, kept for a further
// table, shows as a space; an ESC as the very last septet is dropped.
std::u16string Gsm7Text(const std::vector<std::uint8_t>& septets, std::size_t from) {
  const Gsm7Decoding& t = Gsm7Tables();
  std::u16string text;
  for (std::size_t i = from; i < septets.size(); ++i) {
    const std::uint8_t s = septets[i];
    if (s != kGsm7Escape) {
      text.push_back(t.basic[s]);
      continue;
    }
    if (++i >= septets.size()) break;
    const std::uint8_t e = septets[i];
    if (e == kGsm7Escape) {
      text.push_back(u' ');
    } else {
      text.push_back(t.extension[e] ? t.extension[e] : t.basic[e]);
    }
  }
  return text;
}

// `count` septets packed from bit 0 of `data` (the caller checked that
// ceil(7 * count / 8) octets are there).
std::vector<std::uint8_t> Unpack(const std::uint8_t* data, std::size_t count) {
  std::vector<std::uint8_t> septets(count);
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t bit = 7 * i;
    const std::size_t octet = bit / 8;
    const unsigned shift = static_cast<unsigned>(bit % 8);
    unsigned v = static_cast<unsigned>(data[octet]) >> shift;
    if (shift > 1) v |= static_cast<unsigned>(data[octet + 1]) << (8 - shift);
    septets[i] = static_cast<std::uint8_t>(v & 0x7F);
  }
  return septets;
}

std::u16string HexText(const std::uint8_t* data, std::size_t size) {
  static const char16_t d[] = u"0123456789ABCDEF";
  std::u16string s;
  s.reserve(2 * size);
  for (std::size_t i = 0; i < size; ++i) {
    s.push_back(d[data[i] >> 4]);
    s.push_back(d[data[i] & 15]);
  }
  return s;
}

// Big-endian UTF-16 as the network carries it. A lone surrogate half
// (a pair split across two parts, or plain garbage) becomes U+FFFD: what
// leaves the decoder always converts to UTF-8. An odd last octet is dropped.
std::u16string Ucs2Text(const std::uint8_t* data, std::size_t size) {
  std::u16string s;
  s.reserve(size / 2);
  for (std::size_t i = 0; i + 1 < size; i += 2) {
    s.push_back(static_cast<char16_t>((data[i] << 8) | data[i + 1]));
  }
  for (std::size_t i = 0; i < s.size(); ++i) {
    const char32_t cp = CodePointAt(s, i);
    if (cp >= 0x10000) {
      ++i;
    } else if (IsSurrogate(cp)) {
      s[i] = u'\uFFFD';
    }
  }
  return s;
}

// A cursor over the TPDU: every read is checked against its end.
class Reader {
 public:
  Reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  bool Has(std::size_t n) const { return size_ - pos_ >= n; }
  std::size_t Left() const { return size_ - pos_; }
  const std::uint8_t* Here() const { return data_ + pos_; }
  std::uint8_t Byte() { return data_[pos_++]; }
  void Skip(std::size_t n) { pos_ += n; }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
};

// TS 23.040 semi-octets: low nibble first; F pads an odd count.
char16_t AddressDigit(unsigned nibble) {
  static const char16_t d[] = u"0123456789*#abc";
  return nibble < 15 ? d[nibble] : u'?';
}

// TP-OA / TP-RA: length in semi-octets, type of address, the digits (or,
// for an alphanumeric address, GSM 7-bit septets in as many semi-octets).
PduError ReadAddress(Reader& in, std::u16string& out, std::uint8_t& type) {
  if (!in.Has(2)) return PduError::kTruncated;
  const std::size_t digits = in.Byte();
  type = in.Byte();
  if (digits > kMaxAddressDigits) return PduError::kBadField;
  const std::size_t octets = (digits + 1) / 2;
  if (!in.Has(octets)) return PduError::kTruncated;
  const std::uint8_t* p = in.Here();
  out.clear();
  if ((type & 0x70) == 0x50) {
    out = Gsm7Text(Unpack(p, digits * 4 / 7), 0);
  } else {
    if ((type & 0x70) == 0x10) out.push_back(u'+');
    for (std::size_t i = 0; i < digits; ++i) {
      const unsigned nibble = (i % 2 == 0) ? (p[i / 2] & 0x0F) : (p[i / 2] >> 4);
      if (nibble == 0x0F) return PduError::kBadField;
      out.push_back(AddressDigit(nibble));
    }
  }
  in.Skip(octets);
  return PduError::kNone;
}

// Two swapped BCD digits. A nibble above 9 makes the field bad.
bool Bcd(std::uint8_t octet, int& value) {
  const int lo = octet & 0x0F, hi = octet >> 4;
  if (lo > 9 || hi > 9) return false;
  value = lo * 10 + hi;
  return true;
}

// TP-SCTS / TP-DT. The zone's sign is bit 3 of its first (low) semi-octet.
PduError ReadTime(Reader& in, SmsTime& t) {
  if (!in.Has(7)) return PduError::kTruncated;
  int f[6];
  for (int& v : f) {
    if (!Bcd(in.Byte(), v)) return PduError::kBadField;
  }
  const std::uint8_t z = in.Byte();
  int quarters = 0;
  if (!Bcd(static_cast<std::uint8_t>(z & 0xF7), quarters)) return PduError::kBadField;
  t.year = 2000 + f[0];
  t.month = f[1], t.day = f[2], t.hour = f[3], t.minute = f[4], t.second = f[5];
  t.zoneQuarters = (z & 0x08) ? -quarters : quarters;
  const bool ok = t.month >= 1 && t.month <= 12 && t.day >= 1 && t.day <= 31 && t.hour < 24 &&
                  t.minute < 60 && t.second < 60 && quarters <= 4 * 18;
  return ok ? PduError::kNone : PduError::kBadField;
}

// TS 23.038 data coding schemes. Reserved groups read as the default
// alphabet, as a receiver must. Compressed text cannot be shown: its
// octets are handed on as data.
void ReadDcs(std::uint8_t dcs, SmsDeliver& d) {
  d.coding = DeliverCoding::kGsm7;
  d.messageClass = -1;
  if ((dcs & 0x80) == 0) {  // general data coding, marked for deletion or not
    const int alphabet = (dcs >> 2) & 3;
    if (alphabet == 1) d.coding = DeliverCoding::kData8;
    if (alphabet == 2) d.coding = DeliverCoding::kUcs2;
    if (dcs & 0x20) d.coding = DeliverCoding::kData8;
    if (dcs & 0x10) d.messageClass = dcs & 3;
  } else if ((dcs & 0xF0) == 0xE0) {  // message waiting, store, UCS-2
    d.coding = DeliverCoding::kUcs2;
  } else if ((dcs & 0xF0) == 0xF0) {  // data coding / message class
    if (dcs & 0x04) d.coding = DeliverCoding::kData8;
    d.messageClass = dcs & 3;
  }
}

// The user-data header's elements; only the concatenation is kept (the
// first one, 00 or 08). An element whose length does not fit the header
// makes the PDU bad; a concatenation element with sequence number 0 or one
// beyond the total is ignored, as a receiver is told to.
PduError ReadHeader(const std::uint8_t* h, std::size_t size, ConcatHeader& concat) {
  std::size_t i = 0;
  while (i < size) {
    if (size - i < 2) return PduError::kBadField;
    const std::uint8_t iei = h[i];
    const std::size_t len = h[i + 1];
    i += 2;
    if (size - i < len) return PduError::kBadField;
    const std::uint8_t* e = h + i;
    i += len;
    if (concat.present) continue;
    ConcatHeader c;
    if (iei == 0x00 && len == 3) {
      c = {true, e[0], e[1], e[2]};
    } else if (iei == 0x08 && len == 4) {
      c = {true, static_cast<unsigned>((e[0] << 8) | e[1]), e[2], e[3]};
    } else {
      continue;
    }
    if (c.total >= 1 && c.seq >= 1 && c.seq <= c.total) concat = c;
  }
  return PduError::kNone;
}

PduError ReadUserData(Reader& in, bool hasHeader, SmsDeliver& d) {
  if (!in.Has(1)) return PduError::kTruncated;
  const int udl = in.Byte();
  const bool septets = d.coding == DeliverCoding::kGsm7;
  if (udl > (septets ? kMaxSeptets : kMaxOctets)) return PduError::kBadField;
  const std::size_t octets = septets ? (7 * static_cast<std::size_t>(udl) + 7) / 8
                                     : static_cast<std::size_t>(udl);
  if (!in.Has(octets)) return PduError::kTruncated;
  const std::uint8_t* ud = in.Here();
  std::size_t headerOctets = 0;
  if (hasHeader) {
    if (octets < 1) return PduError::kBadField;
    headerOctets = 1 + static_cast<std::size_t>(ud[0]);
    if (headerOctets > octets) return PduError::kBadField;
    // In septets the header must end within the UDL too.
    if (septets && (8 * headerOctets + 6) / 7 > static_cast<std::size_t>(udl)) {
      return PduError::kBadField;
    }
    if (const PduError e = ReadHeader(ud + 1, headerOctets - 1, d.concat); e != PduError::kNone) {
      return e;
    }
  }
  switch (d.coding) {
    case DeliverCoding::kGsm7:
      // The text starts at the first septet boundary after the header: the
      // fill bits are just the rest of the septet the header ends in.
      d.text = Gsm7Text(Unpack(ud, static_cast<std::size_t>(udl)), (8 * headerOctets + 6) / 7);
      break;
    case DeliverCoding::kUcs2:
      d.text = Ucs2Text(ud + headerOctets, octets - headerOctets);
      break;
    case DeliverCoding::kData8:
      d.text = HexText(ud + headerOctets, octets - headerOctets);
      break;
  }
  in.Skip(octets);
  return PduError::kNone;
}

DecodedPdu Failed(PduError e) {
  DecodedPdu r;
  r.error = e;
  return r;
}

DecodedPdu DecodeDeliver(Reader& in, std::uint8_t first) {
  SmsDeliver d;
  if (PduError e = ReadAddress(in, d.sender, d.senderType); e != PduError::kNone) return Failed(e);
  if (!in.Has(2)) return Failed(PduError::kTruncated);
  d.pid = in.Byte();
  d.dcs = in.Byte();
  ReadDcs(d.dcs, d);
  if (PduError e = ReadTime(in, d.serviceCentreTime); e != PduError::kNone) return Failed(e);
  if (PduError e = ReadUserData(in, (first & 0x40) != 0, d); e != PduError::kNone) {
    return Failed(e);
  }
  DecodedPdu r;
  r.sms = std::move(d);
  return r;
}

// What follows TP-ST (parameter indicator, PID, DCS, user data) is optional
// and not needed: it is not read.
DecodedPdu DecodeStatusReport(Reader& in) {
  SmsStatusReport s;
  if (!in.Has(1)) return Failed(PduError::kTruncated);
  s.messageReference = in.Byte();
  if (PduError e = ReadAddress(in, s.recipient, s.recipientType); e != PduError::kNone) {
    return Failed(e);
  }
  if (PduError e = ReadTime(in, s.serviceCentreTime); e != PduError::kNone) return Failed(e);
  if (PduError e = ReadTime(in, s.dischargeTime); e != PduError::kNone) return Failed(e);
  if (!in.Has(1)) return Failed(PduError::kTruncated);
  s.status = in.Byte();
  DecodedPdu r;
  r.sms = std::move(s);
  return r;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

}  // namespace

std::string FormatSmsTime(const SmsTime& t, bool withZone) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", t.year, t.month, t.day, t.hour,
                t.minute, t.second);
  std::string s = buf;
  if (withZone) {
    const int q = t.zoneQuarters < 0 ? -t.zoneQuarters : t.zoneQuarters;
    std::snprintf(buf, sizeof buf, "%c%02d:%02d", t.zoneQuarters < 0 ? '-' : '+', q / 4,
                  (q % 4) * 15);
    s += buf;
  }
  return s;
}

DecodedPdu DecodeTpdu(const std::uint8_t* data, std::size_t size) {
  if (data == nullptr || size == 0) return Failed(PduError::kTruncated);
  Reader in(data, size);
  const std::uint8_t first = in.Byte();
  switch (first & 0x03) {
    case 0x00:
      return DecodeDeliver(in, first);
    case 0x02:
      return DecodeStatusReport(in);
    default:  // an SMS-SUBMIT the SIM keeps, or the reserved type
      return Failed(PduError::kUnsupportedType);
  }
}

DecodedPdu DecodeListedPdu(std::string_view hex) {
  // The line reader may leave a CR or blanks around the digits.
  while (!hex.empty() && IsBlank(hex.front())) hex.remove_prefix(1);
  while (!hex.empty() && IsBlank(hex.back())) hex.remove_suffix(1);
  if (hex.size() % 2 != 0) return Failed(PduError::kBadHex);
  std::vector<std::uint8_t> bytes(hex.size() / 2);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const int hi = HexDigit(hex[2 * i]), lo = HexDigit(hex[2 * i + 1]);
    if (hi < 0 || lo < 0) return Failed(PduError::kBadHex);
    bytes[i] = static_cast<std::uint8_t>((hi << 4) | lo);
  }
  if (bytes.empty()) return Failed(PduError::kTruncated);
  const std::size_t sca = bytes[0];
  if (sca > kMaxServiceCentreOctets) return Failed(PduError::kBadField);
  if (bytes.size() < 1 + sca) return Failed(PduError::kTruncated);
  return DecodeTpdu(bytes.data() + 1 + sca, bytes.size() - 1 - sca);
}

}  // namespace varnix
