#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "log/LogLine.h"

namespace varnix {
namespace {

TEST(LogLine, TimeStampAndEscapes) {
  EXPECT_EQ(TimeStamp({2026, 3, 7, 9, 5, 4, 7}), "2026-03-07 09:05:04.007");
  EXPECT_EQ(TimeStamp({1999, 12, 31, 23, 59, 59, 999}), "1999-12-31 23:59:59.999");

  struct Case {
    std::string bytes;
    std::string escaped;
  };
  const std::vector<Case> cases = {
      {"AT+CMGF=0\r", "AT+CMGF=0<0d>"},
      {"\r\nOK\r\n", "<0d><0a>OK<0d><0a>"},
      {std::string("0011\x1a", 5), "0011<1a>"},
      {std::string("\x00\x7f\x80\xff", 4), "<00><7f><80><ff>"},
      {" ~<>", " ~<>"},
      {"", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(EscapeBytes(c.bytes), c.escaped) << c.escaped;

  EXPECT_EQ(ModemLine(ModemDirection::kToModem, "AT+CMGS=23\r"), "modem> AT+CMGS=23<0d>");
  EXPECT_EQ(ModemLine(ModemDirection::kFromModem, "\r\n> "), "modem< <0d><0a>> ");
}

TEST(LogLine, StatesAndStampedLines) {
  EXPECT_EQ(StateLine({7, MessageState::kQueued, ""}), "message 7 queued");
  EXPECT_EQ(StateLine({12, MessageState::kSent, "5 6"}), "message 12 sent 5 6");
  EXPECT_EQ(StateLine({3, MessageState::kFailed, "+CMS ERROR: 500\r"}),
            "message 3 failed +CMS ERROR: 500<0d>");
  EXPECT_EQ(StateLine({4, MessageState::kRetry, "10 no prompt"}), "message 4 retry 10 no prompt");

  const LocalTime t{2026, 12, 8, 13, 1, 2, 345};
  EXPECT_EQ(StampedLine(t, "start-up"), "2026-12-08 13:01:02.345 start-up\r\n");
  // UTF-8 stays readable; a line break inside the text cannot split it.
  EXPECT_EQ(StampedLine(t, "\xe8\xae\xbe\xe7\xbd\xae\nB\t"),
            "2026-12-08 13:01:02.345 \xe8\xae\xbe\xe7\xbd\xae<0a>B<09>\r\n");
}

TEST(LogLine, DayFileNamesAndDates) {
  EXPECT_EQ(LogFileName("Varnix", {2026, 1, 9}), "Varnix-2026-01-09.log");

  struct Case {
    std::string name;
    bool matches;
    LogDate date;
  };
  const std::vector<Case> cases = {
      {"Varnix-2026-01-09.log", true, {2026, 1, 9}}, {"varnix-2024-02-29.LOG", true, {2024, 2, 29}},
      {"Varnix-2023-02-29.log", false, {}},  // no such day
      {"Varnix-2026-13-01.log", false, {}},          {"Varnix-2026-1-09.log", false, {}},
      {"Varnix2-2026-01-09.log", false, {}},  // another service's
      {"Varnix-2026-01-09.log.bak", false, {}},      {"Varnix-2026-01-09.txt", false, {}},
      {"Varnix-20x6-01-09.log", false, {}},          {"notes.txt", false, {}},
  };
  for (const Case& c : cases) {
    const std::optional<LogDate> date = DateOfLogFile("Varnix", c.name);
    EXPECT_EQ(date.has_value(), c.matches) << c.name;
    if (date && c.matches) {
      EXPECT_EQ(*date, c.date) << c.name;
    }
  }

  EXPECT_EQ(DayNumber({1970, 1, 1}), 0);
  EXPECT_EQ(DayNumber({2000, 3, 1}) - DayNumber({2000, 2, 28}), 2);  // a leap year
  EXPECT_EQ(DayNumber({1900, 3, 1}) - DayNumber({1900, 2, 28}), 1);  // not one
  EXPECT_EQ(DayNumber({2027, 1, 1}) - DayNumber({2026, 12, 31}), 1);
}

}  // namespace
}  // namespace varnix
