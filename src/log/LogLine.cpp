#include "log/LogLine.h"

#include <cstdio>

namespace varnix {
namespace {

constexpr char kHex[] = "0123456789abcdef";

bool IsDigits(std::string_view s) {
  for (char c : s) {
    if (c < '0' || c > '9') return false;
  }
  return !s.empty();
}

int Number(std::string_view digits) {
  int n = 0;
  for (char c : digits) n = n * 10 + (c - '0');
  return n;
}

int DaysInMonth(int year, int month) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return month == 2 && leap ? 29 : kDays[month - 1];
}

}  // namespace

long DayNumber(const LogDate& date) {
  // Days from civil (H. Hinnant's algorithm), with March as the first month
  // so that the leap day is the last day of a year.
  const long y = date.year - (date.month <= 2 ? 1 : 0);
  const long era = (y >= 0 ? y : y - 399) / 400;
  const long yoe = y - era * 400;
  const long mp = (date.month + 9) % 12;
  const long doy = (153 * mp + 2) / 5 + date.day - 1;
  const long doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

std::string TimeStamp(const LocalTime& t) {
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%03d", t.year, t.month, t.day,
                t.hour, t.minute, t.second, t.millisecond);
  return text;
}

std::string EscapeBytes(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (char c : bytes) {
    const auto b = static_cast<unsigned char>(c);
    if (b >= 0x20 && b <= 0x7E) {
      out += c;
    } else {
      out += '<';
      out += kHex[b >> 4];
      out += kHex[b & 0x0F];
      out += '>';
    }
  }
  return out;
}

std::string ModemLine(ModemDirection direction, std::string_view bytes) {
  std::string line = direction == ModemDirection::kToModem ? "modem> " : "modem< ";
  line += EscapeBytes(bytes);
  return line;
}

std::string StateLine(const StateChange& change) {
  std::string line = "message " + std::to_string(change.id) + ' ' + StateName(change.state);
  // The detail can hold the modem's own text, in no known encoding.
  if (!change.detail.empty()) line += ' ' + EscapeBytes(change.detail);
  return line;
}

std::string StampedLine(const LocalTime& time, std::string_view text) {
  std::string line = TimeStamp(time);
  line += ' ';
  for (char c : text) {
    const auto b = static_cast<unsigned char>(c);
    if (b < 0x20 || b == 0x7F) {
      line += EscapeBytes(std::string_view(&c, 1));
    } else {
      line += c;
    }
  }
  line += "\r\n";
  return line;
}

std::string LogFileName(std::string_view service, const LogDate& d) {
  char date[16];
  std::snprintf(date, sizeof date, "%04d-%02d-%02d", d.year, d.month, d.day);
  std::string name(service);
  name += '-';
  name += date;
  name += ".log";
  return name;
}

std::optional<LogDate> DateOfLogFile(std::string_view service, std::string_view name) {
  // <service> '-' yyyy '-' mm '-' dd ".log"; Windows names compare without
  // case, so the service and the extension do too.
  constexpr std::size_t kTail = 15;  // "-yyyy-mm-dd.log"
  if (name.size() != service.size() + kTail) return std::nullopt;
  auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
  for (std::size_t i = 0; i < service.size(); ++i) {
    if (lower(name[i]) != lower(service[i])) return std::nullopt;
  }
  std::string_view tail = name.substr(service.size());
  if (tail[0] != '-' || tail[5] != '-' || tail[8] != '-') return std::nullopt;
  std::string ext(tail.substr(11));
  for (char& c : ext) c = lower(c);
  if (ext != ".log") return std::nullopt;
  const std::string_view y = tail.substr(1, 4), m = tail.substr(6, 2), d = tail.substr(9, 2);
  if (!IsDigits(y) || !IsDigits(m) || !IsDigits(d)) return std::nullopt;
  LogDate date{Number(y), Number(m), Number(d)};
  if (date.month < 1 || date.month > 12 || date.day < 1 ||
      date.day > DaysInMonth(date.year, date.month)) {
    return std::nullopt;
  }
  return date;
}

}  // namespace varnix
