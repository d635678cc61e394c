// The checks of an idle modem: signal, registration and operator, asked
// line by line, each answer awaited at most 5 s.
#pragma once

#include <chrono>
#include <string>

#include "modem/ModemLineReader.h"

namespace varnix {

constexpr std::chrono::milliseconds kWatchCommandTimeout{5000};

struct ModemStatus {
  std::string signal;        // the CSQ rssi "0".."31", or "99" when unknown
  std::string network;       // "registered", "roaming", "searching", "denied", "none", "unknown"
  std::string operatorName;  // from COPS; empty when the modem names none
  // Whether the modem answered any of the three at all. A modem that
  // answers none of them three checks in a row counts as lost.
  bool answered = false;

  bool operator==(const ModemStatus&) const = default;
};

// "+CSQ: <rssi>,<ber>" → rssi; anything else (an error, 99, out of range) "99".
std::string SignalOf(const ModemAnswer& answer);
// "+CREG: [<n>,]<stat>[,...]" → the registration's word; "unknown" without one.
std::string NetworkOf(const ModemAnswer& answer);
// "+COPS: <mode>[,<format>,\"<name>\"...]" → name, quotes undone.
std::string OperatorOf(const ModemAnswer& answer);

// AT+CSQ, AT+CREG? and AT+COPS? in turn.
ModemStatus CheckModem(ModemLineReader& reader);

}  // namespace varnix
