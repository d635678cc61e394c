#include "modem/ModemWatch.h"

#include <string_view>

namespace varnix {
namespace {

// The value of "<prefix> <value>" among the answer's information lines, or
// nullopt when the answer was not OK or has no such line.
bool ValueOf(const ModemAnswer& answer, std::string_view prefix, std::string_view& value) {
  if (answer.result != ModemResult::kOk) return false;
  for (const std::string& line : answer.information) {
    std::string_view v = line;
    if (v.substr(0, prefix.size()) != prefix) continue;
    v.remove_prefix(prefix.size());
    while (!v.empty() && v.front() == ' ') v.remove_prefix(1);
    value = v;
    return true;
  }
  return false;
}

// The decimal fields of a comma list, -1 for one that is not a number.
int Field(std::string_view list, std::size_t index) {
  std::size_t start = 0;
  for (std::size_t i = 0; i < index; ++i) {
    start = list.find(',', start);
    if (start == std::string_view::npos) return -1;
    ++start;
  }
  std::size_t end = list.find(',', start);
  std::string_view f = list.substr(start, end == std::string_view::npos ? std::string_view::npos
                                                                        : end - start);
  while (!f.empty() && f.front() == ' ') f.remove_prefix(1);
  while (!f.empty() && f.back() == ' ') f.remove_suffix(1);
  if (f.empty() || f.size() > 4) return -1;
  int value = 0;
  for (char c : f) {
    if (c < '0' || c > '9') return -1;
    value = value * 10 + (c - '0');
  }
  return value;
}

}  // namespace

std::string SignalOf(const ModemAnswer& answer) {
  std::string_view value;
  if (!ValueOf(answer, "+CSQ:", value)) return "99";
  const int rssi = Field(value, 0);
  return rssi >= 0 && rssi <= 31 ? std::to_string(rssi) : "99";
}

std::string NetworkOf(const ModemAnswer& answer) {
  std::string_view value;
  if (!ValueOf(answer, "+CREG:", value)) return "unknown";
  // The read form is "<n>,<stat>[,<lac>,<ci>[,<AcT>]]"; some modems answer
  // in the unsolicited form "<stat>[,<lac>,<ci>]", whose second field is
  // the quoted lac.
  const std::size_t comma = value.find(',');
  std::size_t second = comma == std::string_view::npos ? comma : comma + 1;
  while (second < value.size() && value[second] == ' ') ++second;
  const bool withMode = comma != std::string_view::npos && second < value.size() &&
                        value[second] != '"';
  const int stat = Field(value, withMode ? 1 : 0);
  switch (stat) {
    case 0: return "none";
    case 1: return "registered";
    case 2: return "searching";
    case 3: return "denied";
    case 5: return "roaming";
    default: return "unknown";
  }
}

std::string OperatorOf(const ModemAnswer& answer) {
  std::string_view value;
  if (!ValueOf(answer, "+COPS:", value)) return {};
  const std::size_t open = value.find('"');
  if (open == std::string_view::npos) return {};
  const std::size_t close = value.find('"', open + 1);
  if (close == std::string_view::npos) return {};
  std::string name(value.substr(open + 1, close - open - 1));
  // A name with control characters would break the item's one line.
  for (char& c : name)
    if (static_cast<unsigned char>(c) < 0x20) c = ' ';
  return name;
}

ModemStatus CheckModem(ModemLineReader& reader) {
  ModemStatus status;
  const auto ask = [&](const char* command) {
    reader.Send(command);
    ModemAnswer answer = reader.WaitFinalResult(kWatchCommandTimeout);
    if (answer.result != ModemResult::kTimeout) status.answered = true;
    return answer;
  };
  status.signal = SignalOf(ask("AT+CSQ\r"));
  status.network = NetworkOf(ask("AT+CREG?\r"));
  status.operatorName = OperatorOf(ask("AT+COPS?\r"));
  return status;
}

}  // namespace varnix
