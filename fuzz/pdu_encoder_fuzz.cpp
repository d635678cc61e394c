// The SMS-SUBMIT encoder on any number and any text, through the GBK codec
// the gateway uses on a Chinese Windows and through a UTF-8 test codec that
// can name characters outside the BMP.
//
// Input: one flag byte (bit 0: UTF-8 codec instead of CP936; bit 1: turn
// the number bytes into digits; bit 2: with bit 1, a leading "+"), one byte
// giving the number's length, the number, then the text.
#include <cstdint>
#include <memory>
#include <string>

#include "FuzzInput.h"
#include "support/Utf8Codec.h"
#include "sms/PduEncoder.h"

using namespace varnix;
using varnix::fuzz::FuzzInput;

namespace {

bool IsUpperHex(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); }

bool AllUpperHex(const std::string& s) {
  for (char c : s) {
    if (!IsUpperHex(c)) return false;
  }
  return true;
}

int HexValue(const std::string& s, std::size_t at) {
  return std::stoi(s.substr(at, 2), nullptr, 16);
}

bool IsHigh(char16_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool IsLow(char16_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

// Index of the first unpaired surrogate, or npos.
std::size_t LoneSurrogate(const std::u16string& units) {
  for (std::size_t i = 0; i < units.size(); ++i) {
    if (IsHigh(units[i])) {
      if (i + 1 >= units.size() || !IsLow(units[i + 1])) return i;
      ++i;
    } else if (IsLow(units[i])) {
      return i;
    }
  }
  return std::u16string::npos;
}

std::string Hex4(char16_t u) {
  static const char d[] = "0123456789ABCDEF";
  return {d[(u >> 12) & 15], d[(u >> 8) & 15], d[(u >> 4) & 15], d[u & 15]};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::unique_ptr<AnsiCodec> gbk = MakeCodePageCodec(936);
  static const varnix::testing::Utf8Codec utf8;

  FuzzInput in(data, size);
  const std::uint8_t flags = in.Byte();
  const AnsiCodec& codec = (flags & 1) ? static_cast<const AnsiCodec&>(utf8) : *gbk;
  std::string number = in.Bytes(in.Byte());
  if (flags & 2) {
    for (char& c : number) c = static_cast<char>('0' + static_cast<unsigned char>(c) % 10);
    if (flags & 4) number.insert(0, 1, '+');
  }
  const std::string text = in.Rest();

  const SubmitPdu r = BuildSubmitPdu(number, text, codec);
  const std::vector<std::uint8_t> userData = EncodeText(text, codec);
  const std::string userHex = BytesToHex(userData.data(), userData.size());

  // Shape: header + user data; the header has an even length and ends in
  // the UDL, which counts the user-data octets (0..140, even: UCS-2).
  FUZZ_CHECK(r.pdu == r.header + userHex);
  FUZZ_CHECK(r.header.size() % 2 == 0, r.header);
  FUZZ_CHECK(r.header.size() >= 16, r.header);
  FUZZ_CHECK(r.header.compare(0, 6, "001100") == 0, r.header);
  FUZZ_CHECK(AllUpperHex(userHex), userHex);
  const std::string udlHex = r.header.substr(r.header.size() - 2);
  FUZZ_CHECK(AllUpperHex(udlHex), r.header);
  const int udl = HexValue(udlHex, 0);
  FUZZ_CHECK(udl == static_cast<int>(userData.size()), r.header);
  FUZZ_CHECK(udl <= 140 && udl % 2 == 0, r.header);
  FUZZ_CHECK(userHex.size() == 2 * static_cast<std::size_t>(udl));
  FUZZ_CHECK(r.header.compare(r.header.size() - 8, 6, "0008AA") == 0, r.header);
  FUZZ_CHECK(r.cmgsLength == static_cast<int>(r.header.size() / 2) + udl - 1, r.header);

  // The user data is the codec's UTF-16, big-endian, cut to at most 70
  // units and never in the middle of a surrogate pair.
  const std::u16string units = codec.ToUtf16(text);
  std::u16string sent;
  for (std::size_t i = 0; i + 1 < userData.size(); i += 2) {
    sent.push_back(static_cast<char16_t>((userData[i] << 8) | userData[i + 1]));
  }
  FUZZ_CHECK(units.compare(0, sent.size(), sent) == 0, "user data is not a prefix of the text");
  FUZZ_CHECK(sent.size() == units.size() || sent.size() >= 69, "text cut too short");
  std::string unitHex;
  for (char16_t u : sent) unitHex += Hex4(u);
  FUZZ_CHECK(unitHex == userHex);
  if (LoneSurrogate(units) == std::u16string::npos) {
    FUZZ_CHECK(LoneSurrogate(sent) == std::u16string::npos, userHex);
  }

  // The address: the encoder's own fields are upper-case hex whatever the
  // number holds; the digits are copied unchanged.
  const bool plus = !number.empty() && number[0] == '+';
  const std::string digits = plus ? number.substr(1) : number;
  const std::string addrLen = r.header.substr(6, 2);
  const std::string toa = r.header.substr(8, 2);
  FUZZ_CHECK(AllUpperHex(addrLen) && AllUpperHex(toa), r.header);
  FUZZ_CHECK(toa == (plus ? "91" : "C1"), r.header);
  const std::string encoded = r.header.substr(10, r.header.size() - 18);
  FUZZ_CHECK(encoded == EncodeNumber(number));
  FUZZ_CHECK(encoded.size() == 2 * ((digits.size() + 1) / 2), r.header);

  if (IsSendableNumber(number)) {
    // What reaches the modem: all of it upper-case hex, the address length
    // is the digit count and the swapped semi-octets give the digits back.
    FUZZ_CHECK(AllUpperHex(r.pdu), r.pdu);
    FUZZ_CHECK(HexValue(addrLen, 0) == static_cast<int>(digits.size()), r.header);
    std::string back;
    for (std::size_t i = 0; i + 1 < encoded.size(); i += 2) {
      back.push_back(encoded[i + 1]);
      if (encoded[i] != 'F' || i + 2 < encoded.size()) back.push_back(encoded[i]);
    }
    FUZZ_CHECK(back == digits, back + " vs " + digits);
    // One SMS: at most 140 octets of user data, 12 + 7 + 10 of header.
    FUZZ_CHECK(r.cmgsLength <= 7 + 11 + 140, r.header);
    FUZZ_CHECK(static_cast<int>(r.pdu.size() / 2) - 1 == r.cmgsLength, r.pdu);
  }
  return 0;
}
