#include "settings/PortSettings.h"

#include <gtest/gtest.h>

#include "support/MemoryRegistry.h"

namespace varnix {
namespace {

using testing::MemoryRegistry;
constexpr RegistryRoot HKLM = RegistryRoot::kLocalMachine;
constexpr RegistryRoot HKCU = RegistryRoot::kCurrentUser;
const std::string kKey = kSettingsKey;

struct Six {
  std::int32_t port, bit, stop, parity, baud, delay;
};
void ExpectSix(const PortSettings& s, Six v) {
  EXPECT_EQ(s.Port, v.port);
  EXPECT_EQ(s.Bit, v.bit);
  EXPECT_EQ(s.Stop, v.stop);
  EXPECT_EQ(s.Parity, v.parity);
  EXPECT_EQ(s.Baud, v.baud);
  EXPECT_EQ(s.Delay.load(), v.delay);
}
void PutSix(MemoryRegistry& r, RegistryRoot root, Six v) {
  r.PutDword(root, kKey, "Port", v.port);
  r.PutDword(root, kKey, "Bit", v.bit);
  r.PutDword(root, kKey, "Stop", v.stop);
  r.PutDword(root, kKey, "Parity", v.parity);
  r.PutDword(root, kKey, "Baud", v.baud);
  r.PutDword(root, kKey, "Delay", v.delay);
}
std::string ErrorOf(std::function<void()> f) {
  try {
    f();
  } catch (const RegistryError& e) {
    return e.what();
  }
  return "";
}

const Six kDefaults{1, 8, 1, 0, 9600, 2000};

TEST(PortSettings, FirstLoadWritesTheDefaultsInOrder) {
  MemoryRegistry reg;
  PortSettings s;
  LoadSettingsFromRegistry(s, reg);
  ExpectSix(s, kDefaults);
  PortSettings back;
  LoadSettingsFromRegistry(back, reg);
  ExpectSix(back, kDefaults);
  EXPECT_EQ(reg.KeyAt(HKLM, kKey).size(), 6u);
  EXPECT_EQ(reg.log, (std::vector<std::string>{
                         "root HKLM", "open " + kKey, "write Port", "write Bit", "write Stop",
                         "write Parity", "write Baud", "write Delay", "close", "root HKLM",
                         "open " + kKey, "read Port", "read Bit", "read Stop", "read Parity",
                         "read Baud", "read Delay", "close"}));
}

TEST(PortSettings, WithoutPortEverythingBecomesDefault) {
  MemoryRegistry reg;
  PutSix(reg, HKLM, {3, 7, 2, 1, 115200, 500});
  reg.KeyAt(HKLM, kKey).erase("Port");
  PortSettings s;
  LoadSettingsFromRegistry(s, reg);
  ExpectSix(s, kDefaults);
  PortSettings back;
  LoadSettingsFromRegistry(back, reg);
  ExpectSix(back, kDefaults);
}

TEST(PortSettings, StoredValuesLoadUncheckedAndSaveRoundTrips) {
  MemoryRegistry reg;
  PutSix(reg, HKLM, {9, 5, 2, 2, 0, -7});
  PortSettings s;
  LoadSettingsFromRegistry(s, reg);
  ExpectSix(s, {9, 5, 2, 2, 0, -7});

  s.Baud = 115200;
  SaveSettingsToRegistry(reg, s);
  PortSettings back;
  LoadSettingsFromRegistry(back, reg);
  EXPECT_TRUE(back == s);
}

TEST(PortSettings, ReadErrorsStopTheLoadAtTheFailingValue) {
  struct Case {
    std::string name;
    std::function<void(MemoryRegistry&)> damage;
    std::string error;
    Six after;      // loading into a record that was all zero
    Six atStartup;  // the start-up load: defaults where loading stopped
  };
  const Case cases[] = {
      {"Delay missing", [](MemoryRegistry& r) { r.KeyAt(HKLM, kKey).erase("Delay"); },
       "Failed to get data for 'Delay'", {4, 7, 2, 1, 19200, 0}, {4, 7, 2, 1, 19200, 2000}},
      {"Baud as short text",
       [](MemoryRegistry& r) {
         r.PutRaw(HKLM, kKey, "Baud", MemoryRegistry::Type::kString, {'9', '6', 0});
       },
       "Invalid data type for 'Baud'", {4, 7, 2, 1, 0, 0}, {4, 7, 2, 1, 9600, 2000}},
      {"Baud as long text",
       [](MemoryRegistry& r) {
         r.PutRaw(HKLM, kKey, "Baud", MemoryRegistry::Type::kString, {'9', '6', '0', '0', 0});
       },
       "Failed to get data for 'Baud'", {4, 7, 2, 1, 0, 0}, {4, 7, 2, 1, 9600, 2000}},
      {"Port not an integer",
       [](MemoryRegistry& r) {
         r.PutRaw(HKLM, kKey, "Port", MemoryRegistry::Type::kBinary, {1, 2});
       },
       "Invalid data type for 'Port'", {0, 0, 0, 0, 0, 0}, kDefaults},
      {"Bit as 8 bytes",
       [](MemoryRegistry& r) {
         r.PutRaw(HKLM, kKey, "Bit", MemoryRegistry::Type::kDword, {1, 0, 0, 0, 0, 0, 0, 0});
       },
       "Failed to get data for 'Bit'", {4, 0, 0, 0, 0, 0}, {4, 8, 1, 0, 9600, 2000}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MemoryRegistry reg;
    PutSix(reg, HKLM, {4, 7, 2, 1, 19200, 300});
    c.damage(reg);
    PortSettings s;
    EXPECT_EQ(ErrorOf([&] { LoadSettingsFromRegistry(s, reg); }), c.error);
    ExpectSix(s, c.after);
    EXPECT_FALSE(reg.KeyOpen());

    // At start-up the same damage leaves the defaults where loading stopped.
    PortSettings atStart;
    const auto err = LoadSettingsAtStartup(atStart, reg);
    ASSERT_TRUE(err.has_value());
    EXPECT_EQ(*err, c.error);
    ExpectSix(atStart, c.atStartup);
  }
}

TEST(PortSettings, WriteErrorsAndTheCurrentUserFallback) {
  // HKLM not writable: the settings live under HKCU, same key, same rules.
  MemoryRegistry reg;
  reg.readOnlyRoots = {HKLM};
  PortSettings s;
  EXPECT_EQ(LoadSettingsAtStartup(s, reg), std::nullopt);
  ExpectSix(s, kDefaults);
  EXPECT_TRUE(reg.HasKey(HKCU, kKey));
  EXPECT_EQ(reg.KeyAt(HKCU, kKey).size(), 6u);
  EXPECT_FALSE(reg.HasKey(HKLM, kKey));
  s.Delay = 750;
  SaveSettingsToRegistry(reg, s);
  PortSettings back;
  LoadSettingsFromRegistry(back, reg);
  EXPECT_EQ(back.Delay.load(), 750);

  // Where HKLM is writable, its settings are what every user gets.
  MemoryRegistry both;
  PutSix(both, HKLM, {2, 8, 1, 0, 4800, 100});
  PutSix(both, HKCU, {3, 8, 1, 0, 1200, 900});
  PortSettings admin;
  LoadSettingsFromRegistry(admin, both);
  ExpectSix(admin, {2, 8, 1, 0, 4800, 100});

  // Neither root writable: the defaults stay, the error names "Port".
  MemoryRegistry none;
  none.readOnlyRoots = {HKLM, HKCU};
  PortSettings n;
  EXPECT_EQ(LoadSettingsAtStartup(n, none), "Failed to set data for 'Port'");
  ExpectSix(n, kDefaults);

  // A save failing part way keeps what was written before it.
  MemoryRegistry partial;
  PutSix(partial, HKLM, {1, 8, 1, 0, 9600, 2000});
  partial.failingWrites = {"Parity"};
  PortSettings changed;
  LoadSettingsFromRegistry(changed, partial);
  changed.Port = 5;
  changed.Parity = 2;
  EXPECT_EQ(ErrorOf([&] { SaveSettingsToRegistry(partial, changed); }),
            "Failed to set data for 'Parity'");
  EXPECT_FALSE(partial.KeyOpen());
  partial.failingWrites.clear();
  PortSettings now;
  LoadSettingsFromRegistry(now, partial);
  ExpectSix(now, {5, 8, 1, 0, 9600, 2000});
}

}  // namespace
}  // namespace varnix
