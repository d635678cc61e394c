#include "sms/PduEncoder.h"

#include <gtest/gtest.h>

#include <cctype>
#include <string>

#include "support/Utf8Codec.h"

namespace varnix {
namespace {

testing::Utf8Codec utf8;

std::string Repeat(const std::string& s, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += s;
  return out;
}

TEST(PduEncoder, KnownAnswers) {
  struct Case {
    std::string number, text, header, pdu;
    int cmgs;
  };
  const Case cases[] = {
      {"12345678901", "abc", "0011000BC12143658709F10008AA06",
       "0011000BC12143658709F10008AA06006100620063", 20},
      {"12345678901", "\u4F60\u597D", "0011000BC12143658709F10008AA04",
       "0011000BC12143658709F10008AA044F60597D", 18},
      // The address length is the digit count actually encoded.
      {"1234567890", "abc", "0011000AC121436587090008AA06",
       "0011000AC121436587090008AA06006100620063", 19},
      {"12345678901", std::string(75, 'x'), "0011000BC12143658709F10008AA8C",
       "0011000BC12143658709F10008AA8C" + Repeat("0078", 70), 154},
      // A leading "+" selects the international type and is not a digit.
      {"+8613800138000", "a", "0011000D91683108108300F00008AA02",
       "0011000D91683108108300F00008AA020061", 17},
      {"12345678901", "", "0011000BC12143658709F10008AA00", "0011000BC12143658709F10008AA00",
       14},
      {"12345678901", "a,b", "0011000BC12143658709F10008AA06",
       "0011000BC12143658709F10008AA060061002C0062", 20},
      {"5", "a", "00110001C1F50008AA02", "00110001C1F50008AA020061", 11},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.number + " / " + c.text);
    const SubmitPdu r = BuildSubmitPdu(c.number, c.text, utf8);
    EXPECT_EQ(r.header, c.header);
    EXPECT_EQ(r.pdu, c.pdu);
    EXPECT_EQ(r.cmgsLength, c.cmgs);
  }
}

TEST(PduEncoder, EncodeNumberSwapsSemiOctets) {
  const std::pair<std::string, std::string> cases[] = {
      {"12345678901", "2143658709F1"}, {"1234567890", "2143658709"}, {"7", "F7"},
      {"", ""},          {"+123", "21F3"},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(EncodeNumber(in), out) << in;
}

TEST(PduEncoder, SendableNumbers) {
  const std::pair<std::string, bool> cases[] = {
      {"12345678901", true},
      {"+8613800138000", true},
      {"1", true},
      {std::string(20, '9'), true},
      {"+" + std::string(20, '9'), true},
      {std::string(21, '9'), false},
      {"", false},
      {"+", false},
      {"++1", false},
      {"1+2", false},
      {"123 456", false},
      {"123\x1a", false},   // Ctrl-Z would end the PDU early
      {"\x1b" "123", false},  // ESC would cancel it
      {"12a", false},
      {"\xef\xbc\x91", false},  // a full-width digit is not a digit
  };
  for (const auto& [number, ok] : cases) EXPECT_EQ(IsSendableNumber(number), ok) << number;
}

TEST(PduEncoder, TextIsCutAt70UnitsWithoutSplittingASurrogatePair) {
  const std::string emoji = "\xF0\x9F\x98\x80";  // U+1F600: D83D DE00
  // 69 letters + a pair: unit 70 would be the high half, so the pair goes.
  std::vector<std::uint8_t> bytes = EncodeText(std::string(69, 'x') + emoji, utf8);
  EXPECT_EQ(bytes.size(), 138u);
  EXPECT_EQ(BytesToHex(bytes.data(), bytes.size()), Repeat("0078", 69));

  // 68 letters + a pair fits exactly.
  bytes = EncodeText(std::string(68, 'x') + emoji + "yz", utf8);
  EXPECT_EQ(bytes.size(), 140u);
  EXPECT_EQ(BytesToHex(bytes.data(), bytes.size()), Repeat("0078", 68) + "D83DDE00");

  const SubmitPdu r = BuildSubmitPdu("12345678901", std::string(69, 'x') + emoji, utf8);
  EXPECT_EQ(r.header.substr(r.header.size() - 2), "8A");
  EXPECT_EQ(r.cmgsLength, 14 + 138);
}

TEST(PduEncoder, PairsFromTheWholeHighSurrogateRangeAreCutWhole) {
  // The high halves run from D800 to DBFF: the top plane's pairs must be
  // recognised at the cut like the emoji's.
  const struct {
    const char* name;
    std::string utf8;
    std::string hex;  // the pair as UTF-16BE
  } pairs[] = {
      {"U+10000", "\xF0\x90\x80\x80", "D800DC00"},
      {"U+100000", "\xF4\x80\x80\x80", "DBC0DC00"},
      {"U+10FFFF", "\xF4\x8F\xBF\xBF", "DBFFDFFF"},
  };
  for (const auto& p : pairs) {
    SCOPED_TRACE(p.name);
    // The high half would be unit 70: the whole pair goes.
    std::vector<std::uint8_t> bytes = EncodeText(std::string(69, 'x') + p.utf8 + "y", utf8);
    EXPECT_EQ(BytesToHex(bytes.data(), bytes.size()), Repeat("0078", 69));
    // The low half is unit 70: the pair fits and stays.
    bytes = EncodeText(std::string(68, 'x') + p.utf8 + "yz", utf8);
    EXPECT_EQ(BytesToHex(bytes.data(), bytes.size()), Repeat("0078", 68) + p.hex);
    // Not at the cut: nothing is dropped.
    bytes = EncodeText(p.utf8 + "a", utf8);
    EXPECT_EQ(BytesToHex(bytes.data(), bytes.size()), p.hex + "0061");
  }
  // A BMP character just above the surrogates at unit 70 is kept.
  const std::vector<std::uint8_t> bytes = EncodeText(std::string(69, 'x') + "\xEE\x80\x80z", utf8);
  EXPECT_EQ(BytesToHex(bytes.data(), bytes.size()), Repeat("0078", 69) + "E000");
}

TEST(PduEncoder, HexIsUpperCase) {
  const std::uint8_t bytes[] = {0x00, 0xAB, 0xCD, 0xEF, 0x9F};
  EXPECT_EQ(BytesToHex(bytes, 5), "00ABCDEF9F");
  EXPECT_EQ(BytesToHex(bytes, 0), "");
  const SubmitPdu r = BuildSubmitPdu("12345678901", "\xE2\x82\xAC\xEF\xBF\xBD", utf8);
  EXPECT_EQ(r.pdu, "0011000BC12143658709F10008AA0420ACFFFD");
}

TEST(PduEncoder, GbkTextThroughTheCodePage) {
  const auto gbk = MakeCodePageCodec(936);
  // "你好" in GBK.
  const SubmitPdu r = BuildSubmitPdu("12345678901", "\xC4\xE3\xBA\xC3", *gbk);
  EXPECT_EQ(r.pdu, "0011000BC12143658709F10008AA044F60597D");
  EXPECT_EQ(r.cmgsLength, 18);
  // Plain ASCII is the same in every ANSI code page.
  const auto latin = MakeCodePageCodec(1252);
  EXPECT_EQ(BuildSubmitPdu("12345678901", "abc", *latin).pdu,
            "0011000BC12143658709F10008AA06006100620063");
  // 1252 maps 0x80 to the euro sign.
  EXPECT_EQ(BytesToHex(EncodeText("\x80", *latin).data(), 2), "20AC");
}

}  // namespace
}  // namespace varnix
