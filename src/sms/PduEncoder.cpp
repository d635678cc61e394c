#include "sms/PduEncoder.h"

#include <cstdio>

#include "text/Utf.h"

namespace varnix {
namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

std::string_view DigitsOf(std::string_view number) {
  if (!number.empty() && number.front() == '+') number.remove_prefix(1);
  return number;
}

std::string HexByte(unsigned value) {
  return {kHexDigits[(value >> 4) & 0xF], kHexDigits[value & 0xF]};
}

}  // namespace

bool IsSendableNumber(std::string_view number) {
  const std::string_view digits = DigitsOf(number);
  if (digits.empty() || digits.size() > kMaxNumberDigits) return false;
  for (char c : digits) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

std::string EncodeNumber(std::string_view number) {
  const std::string_view digits = DigitsOf(number);
  std::string out;
  out.reserve(digits.size() + 1);
  std::size_t i = 0;
  for (; i + 1 < digits.size(); i += 2) {
    out.push_back(digits[i + 1]);
    out.push_back(digits[i]);
  }
  if (i < digits.size()) {
    out.push_back('F');
    out.push_back(digits[i]);
  }
  return out;
}

std::vector<std::uint8_t> EncodeText(std::string_view message, const AnsiCodec& codec) {
  const std::u16string units = codec.ToUtf16(message);
  std::size_t n = units.size();
  if (n > kMaxTextUnits) {
    n = kMaxTextUnits;
    // Never leave half a surrogate pair at the end of the message.
    if (IsHighSurrogate(units[n - 1])) --n;
  }
  std::vector<std::uint8_t> bytes;
  bytes.reserve(2 * n);
  for (std::size_t i = 0; i < n; ++i) {
    bytes.push_back(static_cast<std::uint8_t>(units[i] >> 8));
    bytes.push_back(static_cast<std::uint8_t>(units[i] & 0xFF));
  }
  return bytes;
}

std::string BytesToHex(const std::uint8_t* bytes, std::size_t count) {
  std::string out;
  out.reserve(2 * count);
  for (std::size_t i = 0; i < count; ++i) out += HexByte(bytes[i]);
  return out;
}

SubmitPdu BuildSubmitPdu(std::string_view number, std::string_view message,
                         const AnsiCodec& codec) {
  const bool international = !number.empty() && number.front() == '+';
  const std::size_t digitCount = DigitsOf(number).size();
  const std::vector<std::uint8_t> userData = EncodeText(message, codec);

  SubmitPdu r;
  // SCA length 00, SMS-SUBMIT with relative validity 11, TP-MR 00, then the
  // destination: its digit count, type of address, swapped semi-octets.
  r.header = "001100";
  r.header += HexByte(static_cast<unsigned>(digitCount & 0xFF));
  r.header += international ? "91" : "C1";
  r.header += EncodeNumber(number);
  // TP-PID 00, TP-DCS 08 (UCS-2), TP-VP AA (4 days), TP-UDL.
  r.header += "0008AA";
  r.header += HexByte(static_cast<unsigned>(userData.size()));
  r.pdu = r.header + BytesToHex(userData.data(), userData.size());
  // Octets after the service-centre length octet, as AT+CMGS wants them.
  r.cmgsLength = static_cast<int>(r.header.size() / 2 + userData.size()) - 1;
  return r;
}

}  // namespace varnix
