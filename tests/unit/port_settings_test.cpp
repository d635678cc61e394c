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

TEST(PortSettings, TheKeyIsChosenOnceAtStartUp) {
  // Every combination of the two keys present or not, and of each root
  // writable or not (a standard user under UAC may read HKLM\Software but
  // not write it). HKLM holds Delay 100, HKCU Delay 900.
  struct Case {
    bool machineKey, machineWritable, userKey, userWritable;
    const char* chosen;  // DescribeChoice() without the key path
    std::int32_t delay;  // what the start loads
  };
  const Case cases[] = {
      {true, true, true, true, "HKLM", 100},     {true, true, false, false, "HKLM", 100},
      {true, false, true, true, "HKLM ro", 100}, {true, false, false, true, "HKLM ro", 100},
      {true, false, false, false, "HKLM ro", 100},
      {false, true, true, true, "HKLM", 2000},   // where HKLM can be written, as always
      {false, true, false, true, "HKLM", 2000},  {false, false, true, true, "HKCU", 900},
      {false, false, false, true, "HKCU", 2000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(std::vector<bool>{c.machineKey, c.machineWritable,
                                                          c.userKey, c.userWritable}));
    MemoryRegistry reg;
    if (c.machineKey) PutSix(reg, HKLM, {2, 8, 1, 0, 4800, 100});
    if (c.userKey) PutSix(reg, HKCU, {3, 8, 1, 0, 1200, 900});
    if (!c.machineWritable) reg.readOnlyRoots.insert(HKLM);
    if (!c.userWritable) reg.readOnlyRoots.insert(HKCU);
    PortSettings s;
    EXPECT_EQ(LoadSettingsAtStartup(s, reg), std::nullopt);
    EXPECT_EQ(s.Delay.load(), c.delay);
    const std::string chosen = c.chosen;
    const bool machine = chosen.rfind("HKLM", 0) == 0;
    EXPECT_EQ(reg.DescribeChoice(), (machine ? "HKLM\\" : "HKCU\\") + kKey +
                                        (chosen.size() > 4 ? " (read-only)" : ""));
    // A first start fills only the key it chose.
    EXPECT_EQ(reg.HasKey(HKLM, kKey), c.machineKey || machine);
    EXPECT_EQ(reg.HasKey(HKCU, kKey), c.userKey || !machine);

    // Apply writes into the same key; the administrator's key refuses it
    // before anything is written.
    s.Delay = 750;
    const std::string error = ErrorOf([&] { SaveSettingsToRegistry(reg, s); });
    EXPECT_EQ(error, reg.SettingsReadOnly() ? FailedToSetData("Port") : "");
    EXPECT_FALSE(reg.KeyOpen());
    PortSettings back;
    LoadSettingsFromRegistry(back, reg);
    EXPECT_EQ(back.Delay.load(), reg.SettingsReadOnly() ? c.delay : 750);
  }

  // The administrator's key without the six: the defaults serve, nothing
  // is written, no error.
  MemoryRegistry empty;
  empty.KeyAt(HKLM, kKey)["Parts"] = {};
  empty.readOnlyRoots = {HKLM};
  PortSettings d;
  EXPECT_EQ(LoadSettingsAtStartup(d, empty), std::nullopt);
  ExpectSix(d, kDefaults);
  EXPECT_EQ(empty.KeyAt(HKLM, kKey).size(), 1u);
  EXPECT_FALSE(empty.HasKey(HKCU, kKey));
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
