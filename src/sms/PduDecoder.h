// Incoming PDUs as the modem lists them: SMS-DELIVER (a message someone
// sent us) and SMS-STATUS-REPORT (the network's word on one we sent).
// Pure functions. Everything in a PDU comes from outside: a malformed or
// truncated one is an error value, never a read beyond its data.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

namespace varnix {

// A service-centre time stamp (TP-SCTS, TP-DT): local time of the network
// and its offset from UTC in quarter-hours, negative west of Greenwich.
struct SmsTime {
  int year = 0;  // 2000 + the two BCD digits
  int month = 0, day = 0, hour = 0, minute = 0, second = 0;
  int zoneQuarters = 0;

  bool operator==(const SmsTime&) const = default;
};

// "yyyy-mm-dd hh:mm:ss", and with `withZone` "±hh:mm" after it.
std::string FormatSmsTime(const SmsTime& time, bool withZone);

enum class DeliverCoding { kGsm7, kUcs2, kData8 };

// The concatenation element of the user-data header: 00 (8-bit reference)
// or 08 (16-bit reference).
struct ConcatHeader {
  bool present = false;
  unsigned reference = 0;
  int total = 0;
  int seq = 0;  // from 1

  bool operator==(const ConcatHeader&) const = default;
};

struct SmsDeliver {
  // "+" and the digits for type of address 91; the digits for any other
  // numeric type; the decoded text for an alphanumeric sender (type D0).
  std::u16string sender;
  std::uint8_t senderType = 0;
  std::uint8_t pid = 0;
  std::uint8_t dcs = 0;
  int messageClass = -1;  // 0-3 when the DCS names one
  DeliverCoding coding = DeliverCoding::kGsm7;
  // The text; for 8-bit data its octets as upper-case hex digits.
  std::u16string text;
  SmsTime serviceCentreTime;
  ConcatHeader concat;
};

struct SmsStatusReport {
  int messageReference = 0;  // TP-MR of the part it reports on
  std::u16string recipient;  // TP-RA, written as a sender would be
  std::uint8_t recipientType = 0;
  SmsTime serviceCentreTime;  // TP-SCTS
  SmsTime dischargeTime;      // TP-DT
  std::uint8_t status = 0;    // TP-ST: below 0x20 delivered, 0x20-0x3F still trying, else failed
};

enum class PduError { kNone, kBadHex, kTruncated, kBadField, kUnsupportedType };

struct DecodedPdu {
  PduError error = PduError::kNone;
  std::variant<std::monostate, SmsDeliver, SmsStatusReport> sms;

  const SmsDeliver* Deliver() const { return std::get_if<SmsDeliver>(&sms); }
  const SmsStatusReport* Report() const { return std::get_if<SmsStatusReport>(&sms); }
};

// A PDU line of AT+CMGL in PDU mode: hex digits (either case), beginning
// with the service-centre address.
DecodedPdu DecodeListedPdu(std::string_view hex);
// The TPDU alone (after the service-centre address).
DecodedPdu DecodeTpdu(const std::uint8_t* data, std::size_t size);

}  // namespace varnix
