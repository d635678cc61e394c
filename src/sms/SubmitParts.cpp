#include "sms/SubmitParts.h"

#include "sms/Gsm7.h"
#include "text/Utf.h"

namespace varnix {
namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

// First octet of SMS-SUBMIT: TP-MTI 01 and TP-VPF 10 (relative validity);
// TP-SRR and TP-UDHI are added as asked.
constexpr unsigned kFirstOctet = 0x11;
constexpr unsigned kStatusReportRequest = 0x20;
constexpr unsigned kUserDataHeader = 0x40;

// The concatenation header: UDHL 5, IEI 00 (8-bit reference), IEDL 3.
constexpr std::uint8_t kConcatHeader[] = {0x05, 0x00, 0x03};
// In 7-bit the six header octets take 48 bits; one fill bit brings the
// text to the next septet boundary, so the header counts as 7 septets.
constexpr int kConcatFillBits = 1;
constexpr std::size_t kConcatHeaderSeptets = 7;

std::string HexByte(unsigned value) {
  return {kHexDigits[(value >> 4) & 0xF], kHexDigits[value & 0xF]};
}

int ClampParts(int parts) {
  if (parts < 2) return 1;
  return parts > kMaxParts ? kMaxParts : parts;
}

// How many units from `pos` fit into `limit` (UTF-16 units or septets).
std::size_t Take(std::u16string_view text, std::size_t pos, std::size_t limit, TextCoding coding) {
  const std::size_t left = text.size() - pos;
  if (coding == TextCoding::kUcs2) {
    std::size_t n = left < limit ? left : limit;
    // Never leave the high half of a surrogate pair at the end of a cut.
    if (n < left && n > 0 && IsHighSurrogate(text[pos + n - 1])) --n;
    return n;
  }
  // An extension character costs two septets; when only one is left it
  // goes whole into the next part, so an escape is never split.
  std::size_t n = 0;
  std::size_t septets = 0;
  while (n < left) {
    const std::size_t cost = static_cast<std::size_t>(Gsm7Cost(text[pos + n]));
    if (septets + cost > limit) break;
    septets += cost;
    ++n;
  }
  return n;
}

// The destination as BuildSubmitPdu writes it: digit count, type of
// address (91 with a leading "+", C1 otherwise), swapped semi-octets.
std::string Address(std::string_view number) {
  const bool international = !number.empty() && number.front() == '+';
  const std::size_t digits = number.size() - (international ? 1 : 0);
  return HexByte(static_cast<unsigned>(digits & 0xFF)) + (international ? "91" : "C1") +
         EncodeNumber(number);
}

}  // namespace

TextCoding ChooseCoding(std::u16string_view text, int alphabet) {
  if (alphabet == 1 && Gsm7SeptetCount(text)) return TextCoding::kGsm7;
  return TextCoding::kUcs2;
}

TextCut CutText(std::u16string_view text, int partsSetting, int alphabet) {
  TextCut cut;
  cut.coding = ChooseCoding(text, alphabet);
  const bool gsm = cut.coding == TextCoding::kGsm7;
  const std::size_t single = gsm ? kSingleSeptets : kSingleUcs2Units;
  const std::size_t perPart = gsm ? kPartSeptets : kPartUcs2Units;
  const std::size_t size = gsm ? *Gsm7SeptetCount(text) : text.size();
  const std::size_t maxParts = static_cast<std::size_t>(ClampParts(partsSetting));

  if (size <= single || maxParts == 1) {
    const std::size_t n = Take(text, 0, single, cut.coding);
    cut.parts.emplace_back(text.substr(0, n));
    cut.droppedUnits = text.size() - n;
    return cut;
  }
  cut.concatenated = true;
  std::size_t pos = 0;
  while (pos < text.size() && cut.parts.size() < maxParts) {
    const std::size_t n = Take(text, pos, perPart, cut.coding);
    if (n == 0) break;  // cannot happen with these limits; never loop on it
    cut.parts.emplace_back(text.substr(pos, n));
    pos += n;
  }
  cut.droppedUnits = text.size() - pos;
  return cut;
}

SubmitPdu BuildPartPdu(std::string_view number, std::u16string_view partText, TextCoding coding,
                       bool statusReport, bool concat, std::uint8_t reference, int total,
                       int seq) {
  std::vector<std::uint8_t> userData;
  if (concat) {
    userData.assign(std::begin(kConcatHeader), std::end(kConcatHeader));
    userData.push_back(reference);
    userData.push_back(static_cast<std::uint8_t>(total & 0xFF));
    userData.push_back(static_cast<std::uint8_t>(seq & 0xFF));
  }
  std::size_t udl = 0;
  if (coding == TextCoding::kUcs2) {
    for (char16_t u : partText) {
      userData.push_back(static_cast<std::uint8_t>(u >> 8));
      userData.push_back(static_cast<std::uint8_t>(u & 0xFF));
    }
    udl = userData.size();
  } else {
    std::vector<std::uint8_t> septets;
    for (char16_t u : partText) AppendGsm7(u, septets);
    const std::vector<std::uint8_t> packed =
        PackSeptets(septets, concat ? kConcatFillBits : 0);
    userData.insert(userData.end(), packed.begin(), packed.end());
    // In 7-bit TP-UDL counts septets, the header's included.
    udl = septets.size() + (concat ? kConcatHeaderSeptets : 0);
  }

  unsigned first = kFirstOctet;
  if (statusReport) first |= kStatusReportRequest;
  if (concat) first |= kUserDataHeader;

  SubmitPdu r;
  // SCA length 00, first octet, TP-MR 00, the destination, TP-PID 00,
  // TP-DCS (08 UCS-2, 00 GSM 7-bit), TP-VP AA (4 days), TP-UDL.
  r.header = "00" + HexByte(first) + "00" + Address(number) + "00";
  r.header += coding == TextCoding::kUcs2 ? "08" : "00";
  r.header += "AA";
  r.header += HexByte(static_cast<unsigned>(udl & 0xFF));
  r.pdu = r.header + BytesToHex(userData.data(), userData.size());
  // Octets after the service-centre length octet, as AT+CMGS wants them.
  r.cmgsLength = static_cast<int>(r.header.size() / 2 + userData.size()) - 1;
  return r;
}

std::vector<SubmitPdu> BuildSubmitParts(std::string_view number, std::u16string_view text,
                                        const SubmitOptions& options) {
  const TextCut cut = CutText(text, options.parts, options.alphabet);
  const int total = static_cast<int>(cut.parts.size());
  std::vector<SubmitPdu> pdus;
  pdus.reserve(cut.parts.size());
  for (int i = 0; i < total; ++i) {
    pdus.push_back(BuildPartPdu(number, cut.parts[static_cast<std::size_t>(i)], cut.coding,
                                options.statusReport, cut.concatenated, options.reference, total,
                                i + 1));
  }
  return pdus;
}

}  // namespace varnix
