#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>

#include "settings/ComSettings.h"

namespace varnix {
namespace {

PortSettings Make(int port, int bit, int stop, int parity, int baud, int delay) {
  PortSettings s;
  s.Port = port;
  s.Bit = bit;
  s.Stop = stop;
  s.Parity = parity;
  s.Baud = baud;
  s.Delay.store(delay);
  return s;
}

TEST(ComSettingsTest, StrToIntKnownAnswers) {
  struct Case {
    const char* text;
    std::optional<std::int32_t> want;
  };
  const Case cases[] = {
      {"0", 0},
      {"2000", 2000},
      {"  500", 500},
      {"+7", 7},
      {"-12", -12},
      {"007", 7},
      {"$1F", 31},
      {"$1f", 31},
      {"0x1f", 31},
      {"0X1F", 31},
      {"x1F", 31},
      {"X1f", 31},
      {"-$10", -16},
      {"  0x10", 16},
      {"2147483647", 2147483647},
      {"-2147483648", INT32_MIN},
      {"$7FFFFFFF", 2147483647},
      {"$FFFFFFFF", -1},
      {"$80000000", INT32_MIN},
      {"2147483648", std::nullopt},
      {"-2147483649", std::nullopt},
      {"99999999999999999999", std::nullopt},
      {"$100000000", std::nullopt},
      {"", std::nullopt},
      {"   ", std::nullopt},
      {"-", std::nullopt},
      {"$", std::nullopt},
      {"0x", std::nullopt},
      {"x", std::nullopt},
      {"12a", std::nullopt},
      {"a12", std::nullopt},
      {"12 ", std::nullopt},
      {"1 2", std::nullopt},
      {"$1G", std::nullopt},
      {"1.5", std::nullopt},
      {"--1", std::nullopt},
      {"\t5", std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(StrToInt(c.text), c.want) << "text '" << c.text << "'";
  }
  EXPECT_EQ(NotValidIntegerText("12a"), "'12a' is not a valid integer value");
  EXPECT_EQ(NotValidIntegerText(""), "'' is not a valid integer value");
}

TEST(ComSettingsTest, FillMapsSettingsToPositions) {
  struct Case {
    PortSettings settings;
    ComDialogValues want;
  };
  const Case cases[] = {
      // The defaults: COM1, 8, 1, none, 9600, 2000.
      {Make(1, 8, 1, 0, 9600, 2000), {0, 0, 0, 0, "9600", "2000"}},
      {Make(5, 5, 2, 2, 115200, 500), {4, 3, 1, 2, "115200", "500"}},
      {Make(3, 7, 1, 1, 300, 0), {2, 1, 0, 1, "300", "0"}},
      // Values outside the lists leave the list without a selection.
      {Make(0, 9, 0, 3, 600, -1), {-1, -1, -1, -1, "", "-1"}},
      {Make(6, 4, 3, -1, 0, 99999), {-1, -1, -1, -1, "", "99999"}},
      {Make(INT32_MIN, INT32_MIN, INT32_MAX, INT32_MAX, INT32_MIN, INT32_MAX),
       {-1, -1, -1, -1, "", "2147483647"}},
  };
  for (const Case& c : cases) {
    ComDialogValues got = FillComDialog(c.settings);
    SCOPED_TRACE("Port " + std::to_string(c.settings.Port) + " Baud " +
                 std::to_string(c.settings.Baud));
    EXPECT_EQ(got.port, c.want.port);
    EXPECT_EQ(got.dataBits, c.want.dataBits);
    EXPECT_EQ(got.stopBits, c.want.stopBits);
    EXPECT_EQ(got.parity, c.want.parity);
    EXPECT_EQ(got.baudText, c.want.baudText);
    EXPECT_EQ(got.delayText, c.want.delayText);
  }
  // Every baud item maps to itself.
  for (const char* item : kBaudItems) {
    EXPECT_EQ(FillComDialog(Make(1, 8, 1, 0, std::stoi(item), 1)).baudText, item);
  }
}

TEST(ComSettingsTest, ApplyStoresAllOrNothing) {
  const PortSettings current = Make(1, 8, 1, 0, 9600, 2000);
  struct Case {
    ComDialogValues values;
    bool ok;
    PortSettings want;  // ignored when !ok
    std::string error;  // when !ok
  };
  const Case cases[] = {
      {{1, 1, 1, 2, "115200", "500"}, true, Make(2, 7, 2, 2, 115200, 500), ""},
      {{4, 3, 0, 1, "300", "0"}, true, Make(5, 5, 1, 1, 300, 0), ""},
      {{0, 0, 0, 0, "9600", "99999"}, true, Make(1, 8, 1, 0, 9600, 99999), ""},
      {{0, 0, 0, 0, "9600", " $1F4"}, true, Make(1, 8, 1, 0, 9600, 500), ""},
      // Lists without a selection keep the previous value of their field.
      {{-1, -1, -1, -1, "", "700"}, true, Make(1, 8, 1, 0, 9600, 700), ""},
      {{-1, 2, -1, 1, "", "2000"}, true, Make(1, 6, 1, 1, 9600, 2000), ""},
      // Errors: nothing at all is stored.
      {{1, 1, 1, 2, "115200", ""}, false, {}, "'' is not a valid integer value"},
      {{1, 1, 1, 2, "115200", "12a"}, false, {}, "'12a' is not a valid integer value"},
      {{1, 1, 1, 2, "abc", "500"}, false, {}, "'abc' is not a valid integer value"},
      {{1, 1, 1, 2, "115200", "-5"}, false, {}, "'-5' is not a valid Delay: it must be 0..99999 ms"},
      {{1, 1, 1, 2, "115200", "$186A0"}, false, {},
       "'$186A0' is not a valid Delay: it must be 0..99999 ms"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("delay '" + c.values.delayText + "' baud '" + c.values.baudText + "'");
    ApplyOutcome got = ComputeComApply(c.values, current);
    EXPECT_EQ(got.ok, c.ok);
    if (c.ok) {
      EXPECT_EQ(got.settings, c.want);
      EXPECT_EQ(got.error, "");
    } else {
      EXPECT_EQ(got.error, c.error);
    }
  }
}

TEST(ComSettingsTest, ApplyIgnoresPositionsPastTheLists) {
  // Each list one past its last item, and further, alone: that field keeps
  // its value, the others take theirs.
  const PortSettings current = Make(3, 7, 2, 1, 9600, 2000);
  const struct {
    const char* name;
    ComDialogValues values;
    PortSettings want;
  } cases[] = {
      {"port 5", {5, 0, 0, 0, "", "100"}, Make(3, 8, 1, 0, 9600, 100)},
      {"data bits 4", {0, 4, 0, 0, "", "100"}, Make(1, 7, 1, 0, 9600, 100)},
      {"stop bits 2", {0, 0, 2, 0, "", "100"}, Make(1, 8, 2, 0, 9600, 100)},
      {"parity 3", {0, 0, 0, 3, "", "100"}, Make(1, 8, 1, 1, 9600, 100)},
      {"all past", {5, 4, 2, 3, "", "100"}, Make(3, 7, 2, 1, 9600, 100)},
      {"far past", {1000, 1 << 30, 0x7FFFFFFF, 99, "", "100"}, Make(3, 7, 2, 1, 9600, 100)},
      {"below", {-2, -7, -1, -0x7FFFFFFF - 1, "", "100"}, Make(3, 7, 2, 1, 9600, 100)},
      {"last items", {4, 3, 1, 2, "", "100"}, Make(5, 5, 2, 2, 9600, 100)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const ApplyOutcome got = ComputeComApply(c.values, current);
    ASSERT_TRUE(got.ok) << got.error;
    EXPECT_EQ(got.settings, c.want);
  }
}

TEST(ComSettingsTest, FillThenApplyRoundTrips) {
  const PortSettings cases[] = {
      Make(1, 8, 1, 0, 9600, 2000),
      Make(5, 5, 2, 2, 115200, 1),
      Make(3, 6, 1, 1, 57600, 99999),
      // An off-list rate and port survive an Apply with the lists left empty.
      Make(9, 8, 1, 0, 600, 300),
  };
  for (const PortSettings& s : cases) {
    ApplyOutcome got = ComputeComApply(FillComDialog(s), Make(9, 8, 1, 0, 600, 42));
    ASSERT_TRUE(got.ok) << got.error;
    EXPECT_EQ(got.settings.Bit, s.Bit);
    EXPECT_EQ(got.settings.Stop, s.Stop);
    EXPECT_EQ(got.settings.Parity, s.Parity);
    EXPECT_EQ(got.settings.Baud, s.Baud);
    EXPECT_EQ(got.settings.Delay.load(), s.Delay.load());
    EXPECT_EQ(got.settings.Port, s.Port);
  }
}

}  // namespace
}  // namespace varnix
