#include "sms/SubmitParts.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "support/Utf8Codec.h"

namespace varnix {
namespace {

testing::Utf8Codec utf8;

const std::u16string kEmoji = u"\U0001F600";  // a surrogate pair
const std::u16string kEuro = u"\u20AC";       // ESC 65 in 7-bit

std::u16string Times(std::u16string_view s, std::size_t n) {
  std::u16string out;
  for (std::size_t i = 0; i < n; ++i) out += s;
  return out;
}

std::string Times(const std::string& s, std::size_t n) {
  std::string out;
  for (std::size_t i = 0; i < n; ++i) out += s;
  return out;
}

std::vector<std::size_t> PartSizes(const TextCut& cut) {
  std::vector<std::size_t> sizes;
  for (const auto& p : cut.parts) sizes.push_back(p.size());
  return sizes;
}

TEST(SubmitParts, CutKnownAnswers) {
  struct Case {
    const char* name;
    std::u16string text;
    int parts, alphabet;
    TextCoding coding;
    std::vector<std::size_t> sizes;  // UTF-16 units of each part
    std::size_t dropped;
  };
  using enum TextCoding;
  const Case cases[] = {
      {"empty", u"", 0, 0, kUcs2, {0}, 0},
      {"ucs2 fits", Times(u"\u4F60", 70), 2, 0, kUcs2, {70}, 0},
      {"ucs2 71 in two", Times(u"\u4F60", 71), 2, 0, kUcs2, {67, 4}, 0},
      {"ucs2 71 cut to one", Times(u"\u4F60", 71), 0, 0, kUcs2, {70}, 1},
      {"parts 1 is one sms", Times(u"\u4F60", 71), 1, 0, kUcs2, {70}, 1},
      {"negative parts", Times(u"a", 100), -5, 0, kUcs2, {70}, 30},
      {"gsm 160 fits", Times(u"x", 160), 2, 1, kGsm7, {160}, 0},
      {"gsm 161 in two", Times(u"x", 161), 2, 1, kGsm7, {153, 8}, 0},
      {"gsm 161 cut to one", Times(u"x", 161), 0, 1, kGsm7, {160}, 1},
      {"alphabet 0 is ucs2", Times(u"x", 161), 3, 0, kUcs2, {67, 67, 27}, 0},
      {"alphabet 2 is ucs2", u"abc", 0, 2, kUcs2, {3}, 0},
      // Escapes cost two septets: 80 of them are a full SMS.
      {"escapes fill one sms", Times(u"[", 80), 0, 1, kGsm7, {80}, 0},
      {"escapes one too many", Times(u"]", 81), 2, 1, kGsm7, {76, 5}, 0},
      // 152 septets, then an escape that would take septets 153 and 154.
      {"escape straddles a part", Times(u"a", 152) + kEuro + Times(u"b", 10), 2, 1, kGsm7,
       {152, 11}, 0},
      {"escape straddles one sms", Times(u"a", 159) + kEuro, 0, 1, kGsm7, {159}, 1},
      {"escape ends a part exactly", Times(u"a", 151) + kEuro + Times(u"b", 10), 2, 1, kGsm7,
       {152, 10}, 0},
      // The pair would take units 67 and 68 of the first part.
      {"pair straddles a part", Times(u"a", 66) + kEmoji + Times(u"b", 10), 2, 0, kUcs2,
       {66, 12}, 0},
      {"pair ends a part exactly", Times(u"a", 65) + kEmoji + Times(u"b", 10), 2, 0, kUcs2,
       {67, 10}, 0},
      {"pair straddles one sms", Times(u"a", 69) + kEmoji, 0, 0, kUcs2, {69}, 2},
      {"pairs only", Times(kEmoji, 40), 2, 0, kUcs2, {66, 14}, 0},
      {"a lone high half at the very end stays", u"ab\xD83D", 1, 0, kUcs2, {3}, 0},
      {"parts 3 of four parts' worth, gsm", Times(u"y", 153 * 4), 3, 1, kGsm7,
       {153, 153, 153}, 153},
      {"parts 3 of four parts' worth, ucs2", Times(u"\u4F60", 67 * 4), 3, 0, kUcs2,
       {67, 67, 67}, 67},
      {"chinese with alphabet 1", u"hello \u4F60", 2, 1, kUcs2, {7}, 0},
      {"long chinese with alphabet 1", Times(u"a", 100) + u"\u4F60", 2, 1, kUcs2, {67, 34}, 0},
      {"lower c cedilla is ucs2", u"\u00E7a", 0, 1, kUcs2, {2}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const TextCut cut = CutText(c.text, c.parts, c.alphabet);
    EXPECT_EQ(cut.coding, c.coding);
    EXPECT_EQ(PartSizes(cut), c.sizes);
    EXPECT_EQ(cut.droppedUnits, c.dropped);
    EXPECT_EQ(cut.concatenated, c.sizes.size() > 1);
    // The parts are the text in order, up to what was dropped.
    std::u16string joined;
    for (const auto& p : cut.parts) joined += p;
    EXPECT_EQ(joined, c.text.substr(0, c.text.size() - c.dropped));
  }
}

TEST(SubmitParts, PartsAreLimitedTo255) {
  const std::u16string text = Times(u"\u4F60", 67 * 256);
  const TextCut cut = CutText(text, 1000, 0);
  EXPECT_EQ(cut.parts.size(), 255u);
  EXPECT_EQ(cut.droppedUnits, 67u);
  const auto pdus = BuildSubmitParts("1", text, {.parts = 255, .reference = 1});
  ASSERT_EQ(pdus.size(), 255u);
  // seq 255 of 255: "...05 00 03 01 FF FF" starts the last part's user data.
  EXPECT_NE(pdus.back().pdu.find("0500030" "1FFFF4F60"), std::string::npos);
}

TEST(SubmitParts, PduKnownAnswers) {
  struct Case {
    const char* name;
    std::string number;
    std::u16string text;
    SubmitOptions options;
    std::vector<std::pair<std::string, int>> pdus;  // PDU, AT+CMGS length
  };
  const std::string header1 = "0051000BC12143658709F10008AA8C0500032A0201";
  const Case cases[] = {
      {"ucs2 71 units",
       "12345678901",
       Times(u"\u4F60", 71),
       {.parts = 2, .reference = 0x2A},
       {{header1 + Times("4F60", 67), 154},
        {"0051000BC12143658709F10008AA0E0500032A0202" + Times("4F60", 4), 28}}},
      {"gsm single",
       "12345678901",
       u"hello",
       {.alphabet = 1},
       {{"0011000BC12143658709F10000AA05E8329BFD06", 19}}},
      {"gsm single with a status report",
       "12345678901",
       u"hello",
       {.alphabet = 1, .statusReport = true},
       {{"0031000BC12143658709F10000AA05E8329BFD06", 19}}},
      {"ucs2 single with a status report",
       "+8613800138000",
       u"a",
       {.statusReport = true},
       {{"0031000D91683108108300F00008AA020061", 17}}},
      // UDL counts septets: 7 for the header (one fill bit), 153 of text.
      {"gsm 161 septets",
       "12345678901",
       Times(u"x", 161),
       {.parts = 2, .alphabet = 1, .reference = 7},
       {{"", 153}, {"0051000BC12143658709F10000AA0F050003070202F0783C1E8FC7E301", 28}}},
      {"gsm escape moved to the next part",
       "12345678901",
       Times(u"a", 152) + kEuro + Times(u"b", 10),
       {.parts = 2, .alphabet = 1, .statusReport = true, .reference = 4},
       {{"", 0}, {"0071000BC12143658709F10000AA130500030402023665B1582C168BC562B118", 31}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto pdus = BuildSubmitParts(c.number, c.text, c.options);
    ASSERT_EQ(pdus.size(), c.pdus.size());
    for (std::size_t i = 0; i < pdus.size(); ++i) {
      SCOPED_TRACE(i);
      if (!c.pdus[i].first.empty()) {
        EXPECT_EQ(pdus[i].pdu, c.pdus[i].first);
        EXPECT_EQ(pdus[i].cmgsLength, c.pdus[i].second);
      }
      // The header is the PDU up to and including the UDL.
      EXPECT_EQ(pdus[i].pdu.compare(0, pdus[i].header.size(), pdus[i].header), 0);
      EXPECT_EQ(pdus[i].cmgsLength, static_cast<int>(pdus[i].pdu.size() / 2) - 1);
    }
  }
}

TEST(SubmitParts, FullGsmPartsFillTheirOctets) {
  // 153 septets after the header: UDL 160 (A0), 140 octets of user data.
  const auto pdus = BuildSubmitParts("12345678901", Times(u"x", 153 * 2), {.parts = 2, .alphabet = 1});
  ASSERT_EQ(pdus.size(), 2u);
  for (const auto& p : pdus) {
    EXPECT_EQ(p.header, "0051000BC12143658709F10000AAA0");
    EXPECT_EQ(p.pdu.size(), p.header.size() + 2 * 140);
    EXPECT_EQ(p.cmgsLength, 14 + 140);
  }
  // 160 septets without a header: UDL A0 as well, 140 octets.
  const auto one = BuildSubmitParts("12345678901", Times(u"x", 160), {.parts = 2, .alphabet = 1});
  ASSERT_EQ(one.size(), 1u);
  EXPECT_EQ(one[0].header, "0011000BC12143658709F10000AAA0");
  EXPECT_EQ(one[0].cmgsLength, 154);
}

TEST(SubmitParts, ReferenceTotalAndSequenceInEveryPart) {
  for (int parts : {2, 3, 5}) {
    for (std::uint8_t ref : {0x00, 0x7F, 0xFF}) {
      SCOPED_TRACE(std::to_string(parts) + " parts, ref " + std::to_string(ref));
      const auto pdus = BuildSubmitParts("+8613800138000", Times(u"\u4F60", 67 * parts),
                                         {.parts = 255, .reference = ref});
      ASSERT_EQ(pdus.size(), static_cast<std::size_t>(parts));
      for (int seq = 1; seq <= parts; ++seq) {
        const std::string& pdu = pdus[static_cast<std::size_t>(seq - 1)].pdu;
        // 00 51 00 0D 91 <7 octets of digits> 00 08 AA <UDL> then the header.
        const std::string udh = pdu.substr(2 * 16, 12);
        char expect[32];
        std::snprintf(expect, sizeof expect, "050003%02X%02X%02X", ref, parts, seq);
        EXPECT_EQ(udh, expect);
        EXPECT_EQ(pdu.substr(2, 2), "51");
      }
    }
  }
}

// With Parts 0, Alphabet 0 and no report the result is what the one-SMS
// encoder gives for the same text, byte for byte.
void ExpectSameAsOneSms(const std::string& number, const std::string& text) {
  const SubmitPdu one = BuildSubmitPdu(number, text, utf8);
  const auto parts = BuildSubmitParts(number, utf8.ToUtf16(text), SubmitOptions{});
  ASSERT_EQ(parts.size(), 1u);
  EXPECT_EQ(parts[0].header, one.header);
  EXPECT_EQ(parts[0].pdu, one.pdu);
  EXPECT_EQ(parts[0].cmgsLength, one.cmgsLength);
}

TEST(SubmitParts, PartsZeroIsTheOneSmsEncoder) {
  const std::pair<std::string, std::string> table[] = {
      {"12345678901", "abc"},
      {"12345678901", "\u4F60\u597D"},
      {"1234567890", "abc"},
      {"12345678901", std::string(75, 'x')},
      {"+8613800138000", "a"},
      {"12345678901", ""},
      {"12345678901", "a,b"},
      {"5", "a"},
      {"", "x"},
      {"12 3a+", "odd characters are copied"},
      {"12345678901", std::string(69, 'a') + "\U0001F600"},
      {"12345678901", std::string(68, 'a') + "\U0001F600z"},
      {"12345678901", std::string(69, 'a') + "\U0010FFFF"},
      {"12345678901", std::string(69, 'a') + "\U00100000"},
      {"12345678901", Times("\U0001F600", 40)},
      {"12345678901", "hello [world] {} \xE2\x82\xAC"},
      {std::string(25, '9'), std::string(200, 'q')},
  };
  for (const auto& [number, text] : table) {
    SCOPED_TRACE(number + " / " + text);
    ExpectSameAsOneSms(number, text);
  }

  // Random numbers and random bytes read as UTF-8, lone surrogates and all.
  std::mt19937 rng(20261208);
  const std::string numberChars = "0123456789+ a";
  for (int i = 0; i < 2000; ++i) {
    std::string number(rng() % 24, '0');
    for (char& c : number) c = numberChars[rng() % numberChars.size()];
    std::string text(rng() % 300, '\0');
    for (char& c : text) c = static_cast<char>(rng() & 0xFF);
    SCOPED_TRACE(i);
    ExpectSameAsOneSms(number, text);
    if (::testing::Test::HasFailure()) break;
  }
}

}  // namespace
}  // namespace varnix
