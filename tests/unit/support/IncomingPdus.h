// Incoming PDUs for the worker's tests, as AT+CMGL lists them (with the
// service-centre address in front): SMS-DELIVER in UCS-2, optionally one
// part of a concatenated message, and SMS-STATUS-REPORT.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace varnix::testing {

inline std::string Hex2(unsigned v) {
  char b[3];
  std::snprintf(b, sizeof b, "%02X", v & 0xFFu);
  return b;
}

// "+8613800138000" as length, type of address and swapped semi-octets.
inline std::string AddressField(const std::string& number) {
  const bool international = !number.empty() && number[0] == '+';
  std::string digits = international ? number.substr(1) : number;
  std::string out = Hex2(static_cast<unsigned>(digits.size())) + (international ? "91" : "81");
  if (digits.size() % 2) digits += 'F';
  for (std::size_t i = 0; i < digits.size(); i += 2) out += {digits[i + 1], digits[i]};
  return out;
}

// 2026-12-08 hh:mm:ss +08:00, as swapped BCD.
inline std::string TimeField(int hour, int minute, int second) {
  const auto bcd = [](int v) { return std::string{static_cast<char>('0' + v % 10),
                                                  static_cast<char>('0' + v / 10)}; };
  return bcd(26) + bcd(12) + bcd(8) + bcd(hour) + bcd(minute) + bcd(second) + "23";
}

inline const std::string kServiceCentre = "0891683108200005F0";  // +8613800200500

struct Concat {
  int reference = 0;
  int total = 0;  // 0: no header
  int seq = 0;
};

// An SMS-DELIVER from `sender` with an ASCII text sent as UCS-2.
inline std::string DeliverPdu(const std::string& sender, const std::string& text,
                              Concat concat = {}, int second = 0) {
  std::string ud;
  if (concat.total > 0)
    ud = "050003" + Hex2(static_cast<unsigned>(concat.reference)) +
         Hex2(static_cast<unsigned>(concat.total)) + Hex2(static_cast<unsigned>(concat.seq));
  for (unsigned char c : text) ud += "00" + Hex2(c);
  const std::string first = concat.total > 0 ? "44" : "04";
  return kServiceCentre + first + AddressField(sender) + "0008" + TimeField(12, 0, second) +
         Hex2(static_cast<unsigned>(ud.size() / 2)) + ud;
}

// An SMS-STATUS-REPORT for message reference `mr` sent to `recipient`,
// discharged at 12:mm:ss.
inline std::string StatusReportPdu(int mr, const std::string& recipient, std::uint8_t status,
                                   int minute = 30, int second = 0) {
  return kServiceCentre + "06" + Hex2(static_cast<unsigned>(mr)) + AddressField(recipient) +
         TimeField(12, minute, 0) + TimeField(12, minute, second) + Hex2(status);
}

// The TPDU's length in octets, as "+CMGL" gives it.
inline int TpduLength(const std::string& listed) {
  const int sca = std::stoi(listed.substr(0, 2), nullptr, 16);
  return static_cast<int>(listed.size() / 2) - 1 - sca;
}

}  // namespace varnix::testing
