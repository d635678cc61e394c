// SMS-SUBMIT PDU in upper-case hex (3GPP TS 23.040), preceded by an empty
// service-centre address, with UCS-2 user data and a 4-day relative validity.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "text/AnsiCodec.h"

namespace varnix {

constexpr std::size_t kMaxNumberDigits = 20;
constexpr std::size_t kMaxTextUnits = 70;  // UTF-16 code units in one message

// Empty, more than 20 digits, or anything but 0-9 after an optional leading
// "+": such a number never reaches the modem.
bool IsSendableNumber(std::string_view number);

// The digits as swapped semi-octets, "F" filling an odd last octet.
// A leading "+" is not a digit and is not encoded.
std::string EncodeNumber(std::string_view number);

// The text as big-endian UTF-16, cut to 70 code units (69 when unit 70 would
// be the high half of a surrogate pair). Returns 0 to 140 bytes.
std::vector<std::uint8_t> EncodeText(std::string_view message, const AnsiCodec& codec);

std::string BytesToHex(const std::uint8_t* bytes, std::size_t count);

struct SubmitPdu {
  std::string header;  // fields 1 to 10
  std::string pdu;     // header + user data, no Ctrl-Z
  int cmgsLength = 0;  // octets after the service-centre length octet
};
SubmitPdu BuildSubmitPdu(std::string_view number, std::string_view message,
                         const AnsiCodec& codec);

}  // namespace varnix
