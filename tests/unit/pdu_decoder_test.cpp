#include "sms/PduDecoder.h"

#include <gtest/gtest.h>

#include <cctype>
#include <sstream>
#include <string>
#include <vector>

#include "IncomingPdus.h"  // generated from tests/data/incoming_pdus.tsv
#include "support/GuardedBytes.h"
#include "support/Utf8Codec.h"
#include "sms/Gsm7.h"

namespace varnix {
namespace {

std::vector<std::string> Split(const std::string& line) {
  std::vector<std::string> f;
  std::size_t from = 0;
  for (;;) {
    const std::size_t tab = line.find('\t', from);
    f.push_back(line.substr(from, tab - from));
    if (tab == std::string::npos) return f;
    from = tab + 1;
  }
}

std::string Unescape(const std::string& s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '\\' || i + 1 == s.size()) {
      out.push_back(s[i]);
      continue;
    }
    const char c = s[++i];
    out.push_back(c == 'n' ? '\n' : c == 't' ? '\t' : c == 'r' ? '\r' : c == 'f' ? '\f' : c);
  }
  return out;
}

std::u16string U16(const std::string& utf8) { return testing::Utf8Codec().ToUtf16(utf8); }

int Hex(const std::string& s) { return static_cast<int>(std::stoul(s, nullptr, 16)); }

const char* CodingName(DeliverCoding c) {
  switch (c) {
    case DeliverCoding::kGsm7: return "gsm7";
    case DeliverCoding::kUcs2: return "ucs2";
    case DeliverCoding::kData8: return "data8";
  }
  return "?";
}

const char* ErrorName(PduError e) {
  switch (e) {
    case PduError::kNone: return "none";
    case PduError::kBadHex: return "bad_hex";
    case PduError::kTruncated: return "truncated";
    case PduError::kBadField: return "bad_field";
    case PduError::kUnsupportedType: return "unsupported";
  }
  return "?";
}

std::string ConcatText(const ConcatHeader& c) {
  if (!c.present) return "-";
  return std::to_string(c.reference) + "/" + std::to_string(c.total) + "/" + std::to_string(c.seq);
}

std::vector<std::uint8_t> Bytes(const std::string& hex) {
  std::vector<std::uint8_t> b;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) b.push_back(
      static_cast<std::uint8_t>(Hex(hex.substr(i, 2))));
  return b;
}

// Decoded where a read past the end faults, with or without a sanitizer.
DecodedPdu Guarded(const std::vector<std::uint8_t>& tpdu) {
  const testing::GuardedBytes copy(tpdu.data(), tpdu.size());
  return DecodeTpdu(copy.As(), copy.size());
}
DecodedPdu Guarded(const std::string& hex) {
  const testing::GuardedBytes copy(hex.data(), hex.size());
  return DecodeListedPdu({copy.As<char>(), copy.size()});
}

// Every field, for comparing two decodings.
std::string Describe(const DecodedPdu& d) {
  std::ostringstream s;
  auto text = [&](const std::u16string& t) {
    for (char16_t u : t) s << std::hex << static_cast<int>(u) << ',';
    s << std::dec << '|';
  };
  s << ErrorName(d.error) << '|';
  if (const SmsDeliver* m = d.Deliver()) {
    text(m->sender);
    s << int{m->senderType} << '|' << int{m->pid} << '|' << int{m->dcs} << '|' << m->messageClass
      << '|' << CodingName(m->coding) << '|' << FormatSmsTime(m->serviceCentreTime, true) << '|'
      << ConcatText(m->concat) << '|';
    text(m->text);
  }
  if (const SmsStatusReport* r = d.Report()) {
    s << r->messageReference << '|';
    text(r->recipient);
    s << int{r->recipientType} << '|' << FormatSmsTime(r->serviceCentreTime, true) << '|'
      << FormatSmsTime(r->dischargeTime, true) << '|' << int{r->status};
  }
  return s.str();
}

TEST(PduDecoder, KnownAnswersOfTheTable) {
  std::istringstream table(kIncomingPdus);
  std::string line;
  int delivers = 0, reports = 0, errors = 0;
  while (std::getline(table, line)) {
    if (line.empty() || line[0] == '#') continue;
    const std::vector<std::string> f = Split(line);
    ASSERT_GE(f.size(), 4u) << line;
    SCOPED_TRACE(f[0]);
    const DecodedPdu d = Guarded(f[1]);
    if (f[2] == "deliver") {
      ASSERT_EQ(f.size(), 11u);
      ++delivers;
      ASSERT_EQ(ErrorName(d.error), std::string("none"));
      const SmsDeliver* m = d.Deliver();
      ASSERT_NE(m, nullptr);
      EXPECT_EQ(m->sender, U16(f[3]));
      EXPECT_EQ(m->senderType, Hex(f[4]));
      EXPECT_EQ(FormatSmsTime(m->serviceCentreTime, true), f[5]);
      EXPECT_EQ(m->dcs, Hex(f[6]));
      EXPECT_EQ(CodingName(m->coding), f[7]);
      EXPECT_EQ(m->messageClass, std::stoi(f[8]));
      EXPECT_EQ(ConcatText(m->concat), f[9]);
      EXPECT_EQ(m->text, U16(Unescape(f[10])));
      EXPECT_EQ(m->pid, 0);
    } else if (f[2] == "report") {
      ASSERT_EQ(f.size(), 9u);
      ++reports;
      ASSERT_EQ(ErrorName(d.error), std::string("none"));
      const SmsStatusReport* r = d.Report();
      ASSERT_NE(r, nullptr);
      EXPECT_EQ(r->recipient, U16(f[3]));
      EXPECT_EQ(r->recipientType, Hex(f[4]));
      EXPECT_EQ(FormatSmsTime(r->serviceCentreTime, true), f[5]);
      EXPECT_EQ(FormatSmsTime(r->dischargeTime, true), f[6]);
      EXPECT_EQ(r->status, Hex(f[7]));
      EXPECT_EQ(r->messageReference, std::stoi(f[8]));
    } else {
      ASSERT_EQ(f[2], "error");
      ASSERT_EQ(f.size(), 5u);
      ++errors;
      EXPECT_EQ(ErrorName(d.error), f[3]);
      EXPECT_TRUE(std::holds_alternative<std::monostate>(d.sms));
    }
    if (d.error == PduError::kNone || d.error == PduError::kUnsupportedType) {
      // The TPDU alone decodes the same, and lower-case hex with a CR the
      // reader left behind is the same line.
      const std::vector<std::uint8_t> b = Bytes(f[1]);
      const DecodedPdu t = Guarded(std::vector<std::uint8_t>(b.begin() + 1 + b[0], b.end()));
      EXPECT_EQ(t.error, d.error);
      EXPECT_EQ(Describe(t), Describe(d));
      std::string lower = f[1];
      for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      const DecodedPdu l = DecodeListedPdu(" " + lower + "\r");
      EXPECT_EQ(Describe(l), Describe(d));
    }
  }
  // Every kind of case the table is for is there.
  EXPECT_GE(delivers, 18);
  EXPECT_GE(reports, 4);
  EXPECT_GE(errors, 15);
}

// Every prefix of a good PDU is an error, never a read beyond its end
// (each prefix ends at an unreadable page).
TEST(PduDecoder, EveryPrefixOfAGoodPduIsTruncated) {
  const std::string pdus[] = {
      "0891683108200805F0440D91683108108300F00008622180214365230F06080412340201"
      "4F60597DD83DDE00",
      "0891683108200805F006170D91683119325476F8622180214365236221802153012300",
      "0891683108200805F0040BD0D6B0DC9DC60300006221802143652309C337B90C8AC96634",
  };
  for (const std::string& hex : pdus) {
    ASSERT_EQ(DecodeListedPdu(hex).error, PduError::kNone) << hex;
    const std::vector<std::uint8_t> all = Bytes(hex);
    for (std::size_t n = 0; n < all.size(); ++n) {
      SCOPED_TRACE(n);
      const std::vector<std::uint8_t> cut(all.begin(), all.begin() + static_cast<long>(n));
      const DecodedPdu d = Guarded(hex.substr(0, 2 * n));
      EXPECT_EQ(d.error, PduError::kTruncated);
      if (n > all[0]) {
        const std::vector<std::uint8_t> tpdu(cut.begin() + 1 + all[0], cut.end());
        EXPECT_EQ(Guarded(tpdu).error, PduError::kTruncated);
      }
    }
  }
  EXPECT_EQ(DecodeTpdu(nullptr, 0).error, PduError::kTruncated);
}

// Septets: every character of both tables read back from what the encoder
// packs, after a header of each length (so every fill-bit count), and the
// escapes a phone has to make sense of.
TEST(PduDecoder, Gsm7TextAfterEveryHeaderLength) {
  std::u16string all;
  for (char32_t u = 1; u <= 0x20AC; ++u) {
    if (Gsm7Cost(static_cast<char16_t>(u)) > 0) all.push_back(static_cast<char16_t>(u));
  }
  ASSERT_EQ(all.size(), 127u + 10u);
  all += all;  // more than 160 septets
  const std::vector<std::uint8_t> septets = *ToGsm7Septets(all);
  for (int udhl = 0; udhl <= 7; ++udhl) {
    SCOPED_TRACE(udhl);
    if (udhl == 1) continue;  // no element fits in one octet
    std::vector<std::uint8_t> header;
    if (udhl > 0) {
      header.push_back(static_cast<std::uint8_t>(udhl));
      header.push_back(0x70);  // an element nobody knows, filling the header
      header.push_back(static_cast<std::uint8_t>(udhl - 2));
      header.resize(1 + static_cast<std::size_t>(udhl), 0xAA);
    }
    const int headerSeptets = static_cast<int>((8 * header.size() + 6) / 7);
    const int fill = headerSeptets * 7 - static_cast<int>(8 * header.size());
    std::vector<std::uint8_t> used(septets.begin(),
                                   septets.begin() + (160 - headerSeptets));
    if (used.back() == kGsm7Escape) used.pop_back();
    std::vector<std::uint8_t> tpdu = {static_cast<std::uint8_t>(udhl ? 0x44 : 0x04), 0x01, 0x81,
                                      0xF1, 0x00, 0x00, 0x62, 0x21, 0x80, 0x21, 0x43, 0x65, 0x23};
    tpdu.push_back(static_cast<std::uint8_t>(headerSeptets + used.size()));
    tpdu.insert(tpdu.end(), header.begin(), header.end());
    const std::vector<std::uint8_t> body = PackSeptets(used, fill);
    tpdu.insert(tpdu.end(), body.begin(), body.end());
    const DecodedPdu d = Guarded(tpdu);
    ASSERT_EQ(d.error, PduError::kNone);
    std::u16string expected;
    for (std::size_t i = 0, n = 0; n < used.size(); ++i) {
      n += static_cast<std::size_t>(Gsm7Cost(all[i]));
      expected.push_back(all[i]);
    }
    EXPECT_EQ(d.Deliver()->text, expected);
    EXPECT_EQ(d.Deliver()->sender, u"1");
  }

  struct Case {
    std::vector<std::uint8_t> septets;
    std::u16string text;
  };
  const Case escapes[] = {
      {{0x1B, 0x65, 0x1B, 0x3D}, u"\u20AC~"},
      {{0x1B, 0x41}, u"A"},         // not in the extension table: the basic character
      {{0x1B, 0x0D, 0x41}, u"\rA"},  // CR2 has no character of ours: the basic CR
      {{0x1B, 0x1B, 0x42}, u" B"},   // reserved for a further table: a blank
      {{0x41, 0x1B}, u"A"},          // an escape at the very end is dropped
      {{0x00, 0x09}, u"@\u00C7"},
  };
  for (const Case& c : escapes) {
    std::vector<std::uint8_t> tpdu = {0x04, 0x00, 0x81, 0x00, 0x00, 0x62, 0x21,
                                      0x80, 0x21, 0x43, 0x65, 0x23};
    tpdu.push_back(static_cast<std::uint8_t>(c.septets.size()));
    const std::vector<std::uint8_t> body = PackSeptets(c.septets);
    tpdu.insert(tpdu.end(), body.begin(), body.end());
    const DecodedPdu d = Guarded(tpdu);
    ASSERT_EQ(d.error, PduError::kNone);
    EXPECT_EQ(d.Deliver()->text, c.text);
    EXPECT_EQ(d.Deliver()->sender, u"");
  }
}

// Data coding groups, concatenation elements a receiver must ignore, and
// UCS-2 that does not pair up.
TEST(PduDecoder, CodingGroupsAndOddHeaders) {
  auto deliver = [](std::uint8_t dcs, std::vector<std::uint8_t> ud, bool udhi = false) {
    std::vector<std::uint8_t> tpdu = {static_cast<std::uint8_t>(udhi ? 0x44 : 0x04), 0x00, 0x81,
                                      0x00, dcs, 0x62, 0x21, 0x80, 0x21, 0x43, 0x65, 0x23};
    tpdu.push_back(static_cast<std::uint8_t>(ud.size()));
    tpdu.insert(tpdu.end(), ud.begin(), ud.end());
    return Guarded(tpdu);
  };
  struct Dcs {
    std::uint8_t dcs;
    DeliverCoding coding;
    int messageClass;
  };
  const Dcs groups[] = {
      {0x00, DeliverCoding::kGsm7, -1},  {0x0C, DeliverCoding::kGsm7, -1},  // reserved alphabet
      {0x04, DeliverCoding::kData8, -1}, {0x08, DeliverCoding::kUcs2, -1},
      {0x13, DeliverCoding::kGsm7, 3},   {0x1A, DeliverCoding::kUcs2, 2}, {0x16, DeliverCoding::kData8, 2},
      {0x24, DeliverCoding::kData8, -1}, {0x20, DeliverCoding::kData8, -1},  // compressed: data
      {0x48, DeliverCoding::kUcs2, -1},  {0x51, DeliverCoding::kGsm7, 1},   // auto-deletion group
      {0x84, DeliverCoding::kGsm7, -1},  // reserved group
      {0xC8, DeliverCoding::kGsm7, -1},  {0xD0, DeliverCoding::kGsm7, -1},
      {0xE0, DeliverCoding::kUcs2, -1},  {0xF0, DeliverCoding::kGsm7, 0},
      {0xF5, DeliverCoding::kData8, 1},
  };
  for (const Dcs& g : groups) {
    SCOPED_TRACE(static_cast<int>(g.dcs));
    const DecodedPdu d = deliver(g.dcs, {0x00, 0x41});
    ASSERT_EQ(d.error, PduError::kNone);
    EXPECT_EQ(d.Deliver()->coding, g.coding);
    EXPECT_EQ(d.Deliver()->messageClass, g.messageClass);
  }

  // Sequence number 0, one beyond the total and a total of 0 are not a
  // concatenation; the first good element counts, later ones do not.
  const DecodedPdu zero = deliver(0x04, {0x05, 0x00, 0x03, 0x01, 0x02, 0x00, 0xEE}, true);
  ASSERT_EQ(zero.error, PduError::kNone);
  EXPECT_FALSE(zero.Deliver()->concat.present);
  EXPECT_EQ(zero.Deliver()->text, u"EE");
  const DecodedPdu beyond = deliver(0x04, {0x05, 0x00, 0x03, 0x01, 0x02, 0x03}, true);
  EXPECT_FALSE(beyond.Deliver()->concat.present);
  EXPECT_EQ(beyond.Deliver()->text, u"");
  EXPECT_FALSE(deliver(0x04, {0x05, 0x00, 0x03, 0x01, 0x00, 0x00}, true).Deliver()->concat.present);
  const DecodedPdu two = deliver(
      0x04, {0x0B, 0x00, 0x03, 0x01, 0x02, 0x05, 0x08, 0x04, 0x00, 0x09, 0x03, 0x02}, true);
  EXPECT_EQ(two.Deliver()->concat, (ConcatHeader{true, 9, 3, 2}));
  // A 00 element of the wrong length is some other element.
  EXPECT_FALSE(deliver(0x04, {0x04, 0x00, 0x02, 0x01, 0x02}, true).Deliver()->concat.present);
  EXPECT_EQ(deliver(0x04, {}, true).error, PduError::kBadField);  // UDHI with no header octet
  EXPECT_EQ(deliver(0x04, {0x01, 0x00}, true).error, PduError::kBadField);  // an IEI, no length
  EXPECT_EQ(deliver(0x04, {0x02, 0x70, 0x01}, true).error, PduError::kBadField);

  // UCS-2: lone halves become U+FFFD, a pair stays, an odd octet is dropped.
  const DecodedPdu lone = deliver(0x08, {0xD8, 0x3D, 0x00, 0x41, 0xDE, 0x00, 0xD8, 0x3D, 0xDE,
                                         0x00, 0xD8, 0x3D, 0x42});
  ASSERT_EQ(lone.error, PduError::kNone);
  EXPECT_EQ(lone.Deliver()->text, u"\uFFFDA\uFFFD\U0001F600\uFFFD");
  // UDL 140 octets is the most there is; 141 is bad.
  EXPECT_EQ(deliver(0x04, std::vector<std::uint8_t>(140, 1)).error, PduError::kNone);
  EXPECT_EQ(deliver(0x04, std::vector<std::uint8_t>(141, 1)).error, PduError::kBadField);
}

TEST(PduDecoder, TimeFormat) {
  SmsTime t{2026, 12, 8, 9, 5, 7, 32};
  EXPECT_EQ(FormatSmsTime(t, false), "2026-12-08 09:05:07");
  EXPECT_EQ(FormatSmsTime(t, true), "2026-12-08 09:05:07+08:00");
  t.zoneQuarters = -14;
  EXPECT_EQ(FormatSmsTime(t, true), "2026-12-08 09:05:07-03:30");
  t.zoneQuarters = 0;
  EXPECT_EQ(FormatSmsTime(t, true), "2026-12-08 09:05:07+00:00");
  t.zoneQuarters = 23;
  EXPECT_EQ(FormatSmsTime(t, true), "2026-12-08 09:05:07+05:45");
  // A number column off by a digit must show, not wrap.
  EXPECT_EQ(FormatSmsTime(SmsTime{2099, 1, 31, 23, 59, 59, -48}, true), "2099-01-31 23:59:59-12:00");
}

}  // namespace
}  // namespace varnix
