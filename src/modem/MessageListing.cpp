#include "modem/MessageListing.h"

#include <set>
#include <string_view>

namespace varnix {
namespace {

constexpr std::string_view kHeader = "+CMGL:";
constexpr int kMaxIndex = 99999;
constexpr int kMaxTpduOctets = 255;

bool IsHeader(std::string_view line) { return line.substr(0, kHeader.size()) == kHeader; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

// A field of plain decimal digits no greater than `max`; -1 otherwise.
int Number(std::string_view field, int max) {
  field = Trim(field);
  if (field.empty() || field.size() > 6) return -1;
  int value = 0;
  for (char c : field) {
    if (c < '0' || c > '9') return -1;
    value = value * 10 + (c - '0');
  }
  return value <= max ? value : -1;
}

// "<index>,<stat>,[<alpha>],<length>". The alpha is a quoted name that may
// hold commas of its own, so the length is taken after the last comma; a
// modem that leaves the alpha out entirely ("1,0,23") reads the same.
bool ParseHeader(std::string_view line, ListedPdu& entry) {
  std::string_view rest = line.substr(kHeader.size());
  const std::size_t first = rest.find(',');
  if (first == std::string_view::npos) return false;
  const std::size_t second = rest.find(',', first + 1);
  if (second == std::string_view::npos) return false;
  const std::size_t last = rest.rfind(',');  // `second` at the least
  entry.index = Number(rest.substr(0, first), kMaxIndex);
  entry.stat = Number(rest.substr(first + 1, second - first - 1), 9);
  entry.length = Number(rest.substr(last + 1), kMaxTpduOctets);
  return entry.index >= 0 && entry.stat >= 0 && entry.length >= 0;
}

}  // namespace

MessageListing ParseMessageListing(const std::vector<std::string>& lines,
                                   std::size_t maxEntries) {
  MessageListing listing;
  std::set<int> seen;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const std::string_view line = Trim(lines[i]);
    if (!IsHeader(line)) {
      ++listing.skipped;  // a PDU line whose header did not parse, or noise
      continue;
    }
    ListedPdu entry;
    const bool parsed = ParseHeader(line, entry);
    // The line after a header is its PDU unless it is the next header.
    if (i + 1 < lines.size() && !IsHeader(Trim(lines[i + 1]))) {
      entry.pdu = std::string(Trim(lines[++i]));
    }
    if (!parsed || listing.entries.size() >= maxEntries || !seen.insert(entry.index).second) {
      ++listing.skipped;
      continue;
    }
    listing.entries.push_back(std::move(entry));
  }
  return listing;
}

MessageListing ListStoredMessages(ModemLineReader& reader, std::chrono::milliseconds timeout) {
  reader.Send("AT+CMGL=4\r");
  // Room for every entry within the bound (header and PDU), and a little
  // more, so that an entry beyond it is counted as skipped.
  const ModemAnswer answer = reader.WaitFinalResult(timeout, 2 * kMaxListedEntries + 2);
  MessageListing listing = ParseMessageListing(answer.information);
  listing.result = answer.result;
  listing.complete = answer.result == ModemResult::kOk;
  if (!listing.complete) listing.entries.clear();
  return listing;
}

bool DeleteStoredMessage(ModemLineReader& reader, int index) {
  reader.Send("AT+CMGD=" + std::to_string(index) + "\r");
  return reader.WaitFinalResult(kDeleteTimeout).result == ModemResult::kOk;
}

}  // namespace varnix
