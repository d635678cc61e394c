#include "sms/Gsm7.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace varnix {
namespace {

std::string Hex(const std::vector<std::uint8_t>& bytes) {
  static const char d[] = "0123456789ABCDEF";
  std::string s;
  for (std::uint8_t b : bytes) s += {d[b >> 4], d[b & 15]};
  return s;
}

std::vector<std::uint8_t> Septets(std::u16string_view text) {
  auto s = ToGsm7Septets(text);
  EXPECT_TRUE(s.has_value());
  return s.value_or(std::vector<std::uint8_t>{});
}

TEST(Gsm7, CharacterTable) {
  // One character per row of the default alphabet's odd corners, every
  // extension character, and characters that have no 7-bit form.
  struct Case {
    char16_t unit;
    std::vector<std::uint8_t> septets;  // empty: does not fit
  };
  const Case cases[] = {
      {u'@', {0x00}},      {u'\u00A3', {0x01}}, {u'$', {0x02}},      {u'\u00A5', {0x03}},
      {u'\u00E8', {0x04}}, {u'\u00C7', {0x09}}, {u'\n', {0x0A}},     {u'\r', {0x0D}},
      {u'\u0394', {0x10}}, {u'_', {0x11}},      {u'\u039E', {0x1A}}, {u'\u00C6', {0x1C}},
      {u'\u00C9', {0x1F}}, {u' ', {0x20}},      {u'\u00A4', {0x24}}, {u'0', {0x30}},
      {u'?', {0x3F}},      {u'\u00A1', {0x40}}, {u'A', {0x41}},      {u'Z', {0x5A}},
      {u'\u00C4', {0x5B}}, {u'\u00A7', {0x5F}}, {u'\u00BF', {0x60}}, {u'a', {0x61}},
      {u'z', {0x7A}},      {u'\u00E4', {0x7B}}, {u'\u00E0', {0x7F}},
      // The extension table: ESC and the character.
      {u'\f', {0x1B, 0x0A}}, {u'^', {0x1B, 0x14}}, {u'{', {0x1B, 0x28}},
      {u'}', {0x1B, 0x29}},  {u'\\', {0x1B, 0x2F}}, {u'[', {0x1B, 0x3C}},
      {u'~', {0x1B, 0x3D}},  {u']', {0x1B, 0x3E}}, {u'|', {0x1B, 0x40}},
      {u'\u20AC', {0x1B, 0x65}},
      // No 7-bit form: the backtick, a lower-case c with cedilla (only the
      // capital is in the table), NUL, the escape code itself, Chinese,
      // Cyrillic, half a surrogate pair.
      {u'`', {}}, {u'\u00E7', {}}, {u'\0', {}}, {u'\x1B', {}}, {u'\u4F60', {}},
      {u'\u0416', {}}, {u'\xD83D', {}}, {u'\xDE00', {}}, {u'\t', {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.unit));
    std::vector<std::uint8_t> out;
    EXPECT_EQ(AppendGsm7(c.unit, out), !c.septets.empty());
    EXPECT_EQ(out, c.septets);
    EXPECT_EQ(Gsm7Cost(c.unit), static_cast<int>(c.septets.size()));
  }
}

TEST(Gsm7, EveryAsciiLetterAndDigitIsItsOwnCode) {
  for (char16_t u = u'0'; u <= u'z'; ++u) {
    const bool alnum = (u >= u'0' && u <= u'9') || (u >= u'A' && u <= u'Z') ||
                       (u >= u'a' && u <= u'z');
    if (!alnum) continue;
    std::vector<std::uint8_t> out;
    ASSERT_TRUE(AppendGsm7(u, out)) << static_cast<int>(u);
    EXPECT_EQ(out, std::vector<std::uint8_t>{static_cast<std::uint8_t>(u)});
  }
}

TEST(Gsm7, TextsAndTheirSeptetCounts) {
  struct Case {
    std::u16string text;
    std::optional<std::size_t> count;
  };
  const Case cases[] = {
      {u"", 0},
      {u"hello", 5},
      {u"[1]", 5},
      {u"\u20AC5", 3},
      {u"{}\\|~^[]\f\u20AC", 20},
      {std::u16string(160, u'x'), 160},
      {u"abc\u4F60", std::nullopt},
      {u"\U0001F600", std::nullopt},
      {u"caf\u00E9", 4},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.text.begin(), c.text.end()));
    EXPECT_EQ(Gsm7SeptetCount(c.text), c.count);
    const auto septets = ToGsm7Septets(c.text);
    EXPECT_EQ(septets.has_value(), c.count.has_value());
    if (septets && c.count) {
      EXPECT_EQ(septets->size(), *c.count);
    }
  }
  EXPECT_EQ(Septets(u"a[b"), (std::vector<std::uint8_t>{0x61, 0x1B, 0x3C, 0x62}));
}

TEST(Gsm7, Packing) {
  struct Case {
    std::u16string text;
    int fill;
    std::string hex;
  };
  const Case cases[] = {
      {u"", 0, ""},
      {u"", 1, "00"},
      {u"hello", 0, "E8329BFD06"},
      {u"hellohello", 0, "E8329BFD4697D9EC37"},
      // Eight septets fill seven octets exactly.
      {u"12345678", 0, "31D98C56B3DD70"},
      // After a six-octet header one fill bit brings the text to a septet
      // boundary: every septet moves up by one bit.
      {u"hello", 1, "D06536FB0D"},
      {u"abcdefg", 1, "C2E231B96C3E03"},
      {u"\u20AC", 0, "9B32"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.text.begin(), c.text.end()) + " fill " + std::to_string(c.fill));
    EXPECT_EQ(Hex(PackSeptets(Septets(c.text), c.fill)), c.hex);
  }
  // Only seven bits of each septet count; the top bit never leaks into its
  // neighbour. Fill bits beyond 6 are taken as 6.
  EXPECT_EQ(Hex(PackSeptets(std::vector<std::uint8_t>(8, 0xFF), 0)), "FFFFFFFFFFFFFF");
  EXPECT_EQ(Hex(PackSeptets({0x7F}, 6)), "C01F");
  EXPECT_EQ(Hex(PackSeptets({0x7F}, 9)), "C01F");
  // 160 septets are 140 octets, 153 after one fill bit are 134.
  EXPECT_EQ(PackSeptets(std::vector<std::uint8_t>(160, 0x41), 0).size(), 140u);
  EXPECT_EQ(PackSeptets(std::vector<std::uint8_t>(153, 0x41), 1).size(), 134u);
}

}  // namespace
}  // namespace varnix
