// The log's line format, as pure functions: the time stamp, the escaping of
// bytes that are not printable ASCII, the modem's direction marks, the
// state changes of messages, and the day files' names and dates.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "message/MessageResults.h"

namespace varnix {

// The local wall-clock time, as the writer stamps each line.
struct LocalTime {
  int year = 1970;
  int month = 1;
  int day = 1;
  int hour = 0;
  int minute = 0;
  int second = 0;
  int millisecond = 0;
};

struct LogDate {
  int year = 1970;
  int month = 1;
  int day = 1;
  friend bool operator==(const LogDate&, const LogDate&) = default;
};

inline LogDate DateOf(const LocalTime& t) {
  return {t.year, t.month, t.day};
}

// Days since 1970-01-01 in the proleptic Gregorian calendar.
long DayNumber(const LogDate& date);

// "yyyy-mm-dd hh:mm:ss.mmm".
std::string TimeStamp(const LocalTime& time);

// Bytes 0x20-0x7E as they are, every other byte as "<xx>" (lower-case
// hex): CR LF becomes "<0d><0a>", so that one string is one line whatever
// it holds.
std::string EscapeBytes(std::string_view bytes);

enum class ModemDirection { kToModem, kFromModem };
// "modem> " or "modem< ", then the escaped bytes.
std::string ModemLine(ModemDirection direction, std::string_view bytes);

// "message <id> <state>", then " <detail>" (escaped) when there is one.
std::string StateLine(const StateChange& change);

// The stamped line as it goes into the file: stamp, blank, text, CR LF.
// The text is UTF-8 (a settings error in Chinese stays readable); only its
// control bytes are escaped, so that it stays one line.
std::string StampedLine(const LocalTime& time, std::string_view text);

// "<service>-yyyy-mm-dd.log".
std::string LogFileName(std::string_view service, const LogDate& date);
// The date of a day file of `service`; nothing for any other name (another
// service's files, files the administrator put there).
std::optional<LogDate> DateOfLogFile(std::string_view service, std::string_view name);

}  // namespace varnix
