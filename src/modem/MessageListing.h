// The modem's store as "AT+CMGL=4" lists it in PDU mode: for each stored
// message a line "+CMGL: <index>,<stat>,[<alpha>],<length>" and then its
// PDU line, and "OK" after the last. The listing is bounded: a store
// larger than the bound is read in turns, as each turn deletes what it
// handled.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

#include "modem/ModemLineReader.h"

namespace varnix {

// Entries taken from one listing; a SIM holds a few dozen, a phone's own
// memory a few hundred.
constexpr std::size_t kMaxListedEntries = 300;
// The whole answer, at the slowest baud rate a modem is run at.
constexpr std::chrono::milliseconds kListingTimeout{20000};
constexpr std::chrono::milliseconds kDeleteTimeout{5000};

// <stat> in PDU mode.
constexpr int kStatReceivedUnread = 0;
constexpr int kStatReceivedRead = 1;

struct ListedPdu {
  int index = -1;
  int stat = -1;
  int length = -1;  // TPDU octets, as the modem counts them
  // The PDU line, trimmed; empty when the line after the header was lost
  // (another header came first, or the answer ended).
  std::string pdu;

  // A message or report the network brought: the only kind worth acting
  // on. Stored outgoing messages (stat 2 and 3) belong to someone else.
  bool Received() const { return stat == kStatReceivedUnread || stat == kStatReceivedRead; }
  bool operator==(const ListedPdu&) const = default;
};

struct MessageListing {
  // False when the modem did not answer "OK" in time: then nothing in it
  // is acted on, since the rest of a late answer may still be on its way.
  bool complete = false;
  ModemResult result = ModemResult::kTimeout;  // the answer's final result
  std::vector<ListedPdu> entries;  // in the modem's order, indices unique
  // Headers beyond the bound, or lines that are no entry at all.
  std::size_t skipped = 0;
};

// The entries of a listing's information lines. A header that does not
// parse is skipped with whatever line follows it; a second entry with an
// index already seen is skipped.
MessageListing ParseMessageListing(const std::vector<std::string>& lines,
                                   std::size_t maxEntries = kMaxListedEntries);

// Sends "AT+CMGL=4\r" and reads the answer, at most `timeout`.
MessageListing ListStoredMessages(ModemLineReader& reader,
                                  std::chrono::milliseconds timeout = kListingTimeout);

// "AT+CMGD=<index>\r"; true when the modem answered "OK" within 5 s.
bool DeleteStoredMessage(ModemLineReader& reader, int index);

}  // namespace varnix
