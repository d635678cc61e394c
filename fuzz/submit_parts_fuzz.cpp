// The long-message cutter and its PDUs on any text and any settings.
//
// Input: one byte of Parts (as a signed value, so negative settings come
// up), one flag byte (bit 0: Alphabet 1; bit 1: status report; bit 2:
// Alphabet 2, which is not 7-bit), the reference, one byte giving the
// number's length, the number, then the text as UTF-8 (through the test
// codec, lone surrogates and all).
#include <cstdint>
#include <string>
#include <vector>

#include "FuzzInput.h"
#include "support/Utf8Codec.h"
#include "sms/Gsm7.h"
#include "sms/SubmitParts.h"

using namespace varnix;
using varnix::fuzz::FuzzInput;

namespace {

bool IsHigh(char16_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool IsLow(char16_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

std::size_t SizeOf(std::u16string_view part, TextCoding coding) {
  return coding == TextCoding::kGsm7 ? Gsm7SeptetCount(part).value_or(99999) : part.size();
}

int HexValue(const std::string& s, std::size_t at) {
  return std::stoi(s.substr(at, 2), nullptr, 16);
}

std::vector<std::uint8_t> Octets(const std::string& hex, std::size_t from) {
  std::vector<std::uint8_t> out;
  for (std::size_t i = from; i + 1 < hex.size(); i += 2)
    out.push_back(static_cast<std::uint8_t>(HexValue(hex, i)));
  return out;
}

// Septets back from packed octets after `fill` bits.
std::vector<std::uint8_t> Unpack(const std::vector<std::uint8_t>& octets, int fill,
                                 std::size_t count) {
  std::vector<std::uint8_t> out;
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t bit = static_cast<std::size_t>(fill) + 7 * i;
    unsigned v = octets[bit / 8] >> (bit % 8);
    if (bit % 8 > 1) v |= static_cast<unsigned>(octets[bit / 8 + 1]) << (8 - bit % 8);
    out.push_back(static_cast<std::uint8_t>(v & 0x7F));
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const varnix::testing::Utf8Codec utf8;
  FuzzInput in(data, size);
  const int partsSetting = static_cast<std::int8_t>(in.Byte());
  const std::uint8_t flags = in.Byte();
  SubmitOptions options;
  options.parts = partsSetting;
  options.alphabet = (flags & 4) ? 2 : (flags & 1);
  options.statusReport = (flags & 2) != 0;
  options.reference = in.Byte();
  std::string number = in.Bytes(in.Byte() % 24);
  for (char& c : number) c = static_cast<char>('0' + static_cast<unsigned char>(c) % 10);
  const std::string ansi = in.Rest();
  const std::u16string text = utf8.ToUtf16(ansi);

  const TextCut cut = CutText(text, options.parts, options.alphabet);
  const std::size_t maxParts = partsSetting < 2 ? 1 : static_cast<std::size_t>(partsSetting);
  FUZZ_CHECK(!cut.parts.empty() && cut.parts.size() <= maxParts);
  FUZZ_CHECK(cut.concatenated == (cut.parts.size() > 1));
  FUZZ_CHECK(cut.coding == TextCoding::kUcs2 || options.alphabet == 1);
  const std::size_t limit = cut.coding == TextCoding::kGsm7
                                ? (cut.concatenated ? kPartSeptets : kSingleSeptets)
                                : (cut.concatenated ? kPartUcs2Units : kSingleUcs2Units);
  std::u16string joined;
  for (std::size_t i = 0; i < cut.parts.size(); ++i) {
    const std::u16string& p = cut.parts[i];
    FUZZ_CHECK(SizeOf(p, cut.coding) <= limit);
    joined += p;
    const bool more = joined.size() < text.size();
    if (more) {
      // Filled up to the last character that fits; a pair is never split
      // (a lone high surrogate may end a part: it pairs with nothing).
      const char16_t next = text[joined.size()];
      FUZZ_CHECK(!p.empty() && !(IsHigh(p.back()) && IsLow(next)), "a pair split at a cut");
      const std::size_t nextCost = cut.coding == TextCoding::kGsm7 ? SizeOf({&next, 1}, cut.coding) : 1;
      FUZZ_CHECK(SizeOf(p, cut.coding) + nextCost > limit ||
                     (cut.coding == TextCoding::kUcs2 && IsHigh(next) &&
                      SizeOf(p, cut.coding) + 2 > limit),
                 "part not filled");
    }
  }
  FUZZ_CHECK(text.compare(0, joined.size(), joined) == 0, "parts are not the text");
  FUZZ_CHECK(cut.droppedUnits == text.size() - joined.size());
  if (cut.droppedUnits > 0) FUZZ_CHECK(cut.parts.size() == maxParts, "dropped with parts left");

  const std::vector<SubmitPdu> pdus = BuildSubmitParts(number, text, options);
  FUZZ_CHECK(pdus.size() == cut.parts.size());
  for (std::size_t i = 0; i < pdus.size(); ++i) {
    const SubmitPdu& p = pdus[i];
    FUZZ_CHECK(p.pdu.compare(0, p.header.size(), p.header) == 0);
    FUZZ_CHECK(p.cmgsLength == static_cast<int>(p.pdu.size() / 2) - 1, p.pdu);
    FUZZ_CHECK(p.cmgsLength <= 7 + 1 + 12 + 140, p.pdu);
    const int first = HexValue(p.pdu, 2);
    FUZZ_CHECK(first == (0x11 | (options.statusReport ? 0x20 : 0) | (cut.concatenated ? 0x40 : 0)));
    const std::vector<std::uint8_t> ud = Octets(p.pdu, p.header.size());
    FUZZ_CHECK(ud.size() <= 140, p.pdu);
    const int udl = HexValue(p.header, p.header.size() - 2);
    std::size_t skip = 0;
    if (cut.concatenated) {
      const std::vector<std::uint8_t> udh = {5, 0, 3, options.reference,
                                             static_cast<std::uint8_t>(pdus.size()),
                                             static_cast<std::uint8_t>(i + 1)};
      FUZZ_CHECK(ud.size() >= 6 && std::vector<std::uint8_t>(ud.begin(), ud.begin() + 6) == udh);
      skip = 6;
    }
    if (cut.coding == TextCoding::kUcs2) {
      FUZZ_CHECK(udl == static_cast<int>(ud.size()));
      std::u16string back;
      for (std::size_t k = skip; k + 1 < ud.size(); k += 2)
        back.push_back(static_cast<char16_t>((ud[k] << 8) | ud[k + 1]));
      FUZZ_CHECK(back == cut.parts[i], "UCS-2 user data is not the part");
    } else {
      const auto septets = ToGsm7Septets(cut.parts[i]);
      FUZZ_CHECK(septets.has_value());
      const std::size_t headerSeptets = cut.concatenated ? 7 : 0;
      FUZZ_CHECK(udl == static_cast<int>(septets->size() + headerSeptets));
      const std::vector<std::uint8_t> packed(ud.begin() + static_cast<long>(skip), ud.end());
      FUZZ_CHECK(packed.size() == (septets->size() * 7 + (cut.concatenated ? 1 : 0) + 7) / 8);
      FUZZ_CHECK(Unpack(packed, cut.concatenated ? 1 : 0, septets->size()) == *septets,
                 "septets do not unpack");
    }
  }

  // The default settings give what the one-SMS encoder gives.
  if (options.parts < 2 && options.alphabet != 1 && !options.statusReport) {
    const SubmitPdu one = BuildSubmitPdu(number, ansi, utf8);
    FUZZ_CHECK(pdus.size() == 1 && pdus[0].pdu == one.pdu && pdus[0].header == one.header &&
                   pdus[0].cmgsLength == one.cmgsLength,
               one.pdu + " vs " + pdus[0].pdu);
  }
  return 0;
}
