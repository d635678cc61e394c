// The opt-in values beside the six: absent, wrong, out of range, and the
// key they come from.
#include "settings/ExtSettings.h"

#include <gtest/gtest.h>

#include "support/MemoryRegistry.h"

namespace varnix {
namespace {

using testing::MemoryRegistry;
constexpr RegistryRoot HKLM = RegistryRoot::kLocalMachine;
constexpr RegistryRoot HKCU = RegistryRoot::kCurrentUser;
const std::string kKey = kSettingsKey;

void PutSix(MemoryRegistry& r, RegistryRoot root) {
  for (const char* name : {"Port", "Bit", "Stop", "Parity", "Baud", "Delay"})
    r.PutDword(root, kKey, name, 1);
}

TEST(ExtSettings, AFirstStartStillWritesOnlyTheSixAndLeavesEveryCapabilityOff) {
  MemoryRegistry reg;
  PortSettings six;
  ASSERT_FALSE(LoadSettingsAtStartup(six, reg));
  ExtSettings ext;
  ext.Parts = 9;
  ext.Alphabet = 1;
  ext.Dialogue = 1;
  ext.Outbox = 1;
  ext.Retries = 3;
  ext.Watch = 60;
  ext.Receive = 30;
  ext.Report = 1;
  ext.Log = 7;
  EXPECT_FALSE(LoadExtSettingsAtStartup(ext, reg));
  EXPECT_EQ(ext.Parts.load(), 0);
  EXPECT_EQ(ext.Alphabet.load(), 0);
  EXPECT_EQ(ext.Dialogue.load(), 0);
  const MemoryRegistry::Key& key = reg.KeyAt(HKLM, kKey);
  EXPECT_EQ(key.size(), 6u);
  for (const ExtValue& v : kExtValues) {
    EXPECT_EQ(key.count(v.name), 0u) << v.name;
    EXPECT_EQ((ext.*v.field).load(), 0) << v.name;
  }
  EXPECT_FALSE(reg.KeyOpen());
  EXPECT_FALSE(reg.HasKey(HKCU, kKey));
}

TEST(ExtSettings, ValuesAreTakenAsTheNearestAllowed) {
  const struct {
    std::int32_t raw, parts, onOff;
  } cases[] = {
      {0, 0, 0},     {1, 1, 1},     {2, 2, 1},       {255, 255, 1}, {256, 255, 1},
      {-1, 0, 0},    {-300, 0, 0},  {INT32_MIN, 0, 0}, {INT32_MAX, 255, 1}, {7, 7, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.raw);
    MemoryRegistry reg;
    PutSix(reg, HKLM);
    reg.PutDword(HKLM, kKey, "Parts", c.raw);
    reg.PutDword(HKLM, kKey, "Alphabet", c.raw);
    reg.PutDword(HKLM, kKey, "Dialogue", c.raw);
    ExtSettings ext;
    EXPECT_FALSE(LoadExtSettingsAtStartup(ext, reg));
    EXPECT_EQ(ext.Parts.load(), c.parts);
    EXPECT_EQ(ext.Alphabet.load(), c.onOff);
    EXPECT_EQ(ext.Dialogue.load(), c.onOff);
    // Read only: nothing is written back, not even the corrected value.
    EXPECT_EQ(reg.KeyAt(HKLM, kKey).size(), 9u);
    for (const std::string& op : reg.log) EXPECT_NE(op.rfind("write", 0), 0u) << op;
  }
}

TEST(ExtSettings, AnUnreadableValueIsReportedLikeTheSixAndOnlyItsCapabilityStaysOff) {
  using Type = MemoryRegistry::Type;
  const struct {
    const char* name;
    Type type;
    std::vector<std::uint8_t> data;
    std::string error;
  } cases[] = {
      {"Parts", Type::kString, {'5', 0}, "Invalid data type for 'Parts'"},
      {"Alphabet", Type::kBinary, {1, 0, 0, 0}, "Invalid data type for 'Alphabet'"},
      {"Dialogue", Type::kString, {'1', 0}, "Invalid data type for 'Dialogue'"},
      {"Parts", Type::kBinary, {5, 0, 0, 0, 0, 0, 0, 0}, "Failed to get data for 'Parts'"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.error);
    MemoryRegistry reg;
    PutSix(reg, HKLM);
    reg.PutDword(HKLM, kKey, "Parts", 5);
    reg.PutDword(HKLM, kKey, "Alphabet", 1);
    reg.PutDword(HKLM, kKey, "Dialogue", 1);
    reg.PutRaw(HKLM, kKey, c.name, c.type, c.data);
    ExtSettings ext;
    const std::optional<std::string> error = LoadExtSettingsAtStartup(ext, reg);
    ASSERT_TRUE(error);
    EXPECT_EQ(*error, c.error);
    const std::string name = c.name;
    EXPECT_EQ(ext.Parts.load(), name == "Parts" ? 0 : 5);
    EXPECT_EQ(ext.Alphabet.load(), name == "Alphabet" ? 0 : 1);
    EXPECT_EQ(ext.Dialogue.load(), name == "Dialogue" ? 0 : 1);
    EXPECT_FALSE(reg.KeyOpen());
  }

  // Two bad values: the first is the one reported, and both stay off.
  MemoryRegistry reg;
  PutSix(reg, HKLM);
  reg.PutRaw(HKLM, kKey, "Alphabet", Type::kString, {'1', 0});
  reg.PutRaw(HKLM, kKey, "Dialogue", Type::kString, {'1', 0});
  reg.PutDword(HKLM, kKey, "Parts", 3);
  ExtSettings ext;
  EXPECT_EQ(LoadExtSettingsAtStartup(ext, reg), "Invalid data type for 'Alphabet'");
  EXPECT_EQ(ext.Parts.load(), 3);
  EXPECT_EQ(ext.Alphabet.load(), 0);
  EXPECT_EQ(ext.Dialogue.load(), 0);
}

TEST(ExtSettings, ComeFromTheSameKeyAsTheSix) {
  // A user who may not write under HKLM reads the administrator's key
  // there, the new values included, and not an older copy under HKCU.
  MemoryRegistry reg;
  PutSix(reg, HKLM);
  reg.PutDword(HKLM, kKey, "Parts", 4);
  PutSix(reg, HKCU);
  reg.PutDword(HKCU, kKey, "Parts", 6);
  reg.PutDword(HKCU, kKey, "Dialogue", 1);
  reg.readOnlyRoots = {HKLM};
  ExtSettings ext;
  EXPECT_FALSE(LoadExtSettingsAtStartup(ext, reg));
  EXPECT_EQ(ext.Parts.load(), 4);
  EXPECT_EQ(ext.Alphabet.load(), 0);
  EXPECT_EQ(ext.Dialogue.load(), 0);
  EXPECT_EQ(reg.log, (std::vector<std::string>{"root HKLM", "open " + kKey,
                                                "open read-only " + kKey, "read Parts", "close"}));

  // Without a machine key the user's key serves, the new values included.
  MemoryRegistry user;
  PutSix(user, HKCU);
  user.PutDword(HKCU, kKey, "Parts", 6);
  user.PutDword(HKCU, kKey, "Dialogue", 1);
  user.readOnlyRoots = {HKLM};
  EXPECT_FALSE(LoadExtSettingsAtStartup(ext, user));
  EXPECT_EQ(ext.Parts.load(), 6);
  EXPECT_EQ(ext.Dialogue.load(), 1);
}

TEST(ExtSettings, EveryValueIsTakenAsTheNearestAllowedOneAndZeroOrLessIsOff) {
  // One raw value, and what each of the nine makes of it.
  const struct {
    std::int32_t raw;
    std::int32_t parts, onOff, retries, watch, receive, log;
  } cases[] = {
      {0, 0, 0, 0, 0, 0, 0},
      {-1, 0, 0, 0, 0, 0, 0},
      {INT32_MIN, 0, 0, 0, 0, 0, 0},
      {1, 1, 1, 1, 10, 5, 1},
      {3, 3, 1, 3, 10, 5, 3},
      {5, 5, 1, 5, 10, 5, 5},
      {9, 9, 1, 9, 10, 9, 9},
      {10, 10, 1, 10, 10, 10, 10},
      {11, 11, 1, 10, 11, 11, 11},
      {50, 50, 1, 10, 50, 50, 50},
      {255, 255, 1, 10, 255, 255, 255},
      {365, 255, 1, 10, 365, 365, 365},
      {366, 255, 1, 10, 366, 366, 365},
      {3600, 255, 1, 10, 3600, 3600, 365},
      {3601, 255, 1, 10, 3600, 3600, 365},
      {99999, 255, 1, 10, 3600, 3600, 365},
      {INT32_MAX, 255, 1, 10, 3600, 3600, 365},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.raw);
    MemoryRegistry reg;
    PutSix(reg, HKLM);
    for (const ExtValue& v : kExtValues) reg.PutDword(HKLM, kKey, v.name, c.raw);
    ExtSettings ext;
    EXPECT_FALSE(LoadExtSettingsAtStartup(ext, reg));
    EXPECT_EQ(ext.Parts.load(), c.parts);
    EXPECT_EQ(ext.Alphabet.load(), c.onOff);
    EXPECT_EQ(ext.Dialogue.load(), c.onOff);
    EXPECT_EQ(ext.Outbox.load(), c.onOff);
    EXPECT_EQ(ext.Retries.load(), c.retries);
    EXPECT_EQ(ext.Watch.load(), c.watch);
    EXPECT_EQ(ext.Receive.load(), c.receive);
    EXPECT_EQ(ext.Report.load(), c.onOff);
    EXPECT_EQ(ext.Log.load(), c.log);
    EXPECT_EQ(reg.KeyAt(HKLM, kKey).size(), 15u);
    for (const std::string& op : reg.log) EXPECT_NE(op.rfind("write", 0), 0u) << op;
  }
}

TEST(ExtSettings, ANewValueOfAnotherTypeIsReportedAndOnlyItsCapabilityStaysOff) {
  using Type = MemoryRegistry::Type;
  const std::int32_t on[] = {5, 1, 1, 1, 4, 60, 30, 1, 14};  // in the order of kExtValues
  for (const ExtValue& bad : kExtValues) {
    SCOPED_TRACE(bad.name);
    MemoryRegistry reg;
    PutSix(reg, HKLM);
    for (std::size_t i = 0; i < kExtValues.size(); ++i)
      reg.PutDword(HKLM, kKey, kExtValues[i].name, on[i]);
    reg.PutRaw(HKLM, kKey, bad.name, Type::kString, {'1', 0});
    ExtSettings ext;
    EXPECT_EQ(LoadExtSettingsAtStartup(ext, reg),
              "Invalid data type for '" + std::string(bad.name) + "'");
    for (std::size_t i = 0; i < kExtValues.size(); ++i) {
      const ExtValue& v = kExtValues[i];
      EXPECT_EQ((ext.*v.field).load(), &v == &bad ? 0 : on[i]) << v.name;
    }
    EXPECT_FALSE(reg.KeyOpen());
  }
}

TEST(ExtSettings, SavingWritesAllNineInOrderIntoTheKeyOfTheSix) {
  ExtSettings ext;
  ext.Parts = 4;
  ext.Retries = 2;
  ext.Watch = 120;
  ext.Log = 30;
  MemoryRegistry reg;
  PutSix(reg, HKCU);
  reg.readOnlyRoots = {HKLM};
  reg.log.clear();
  SaveExtSettingsToRegistry(reg, ext);
  std::vector<std::string> expected = {"root HKLM", "open " + kKey, "open read-only " + kKey,
                                       "root HKCU", "open " + kKey};
  for (const ExtValue& v : kExtValues) expected.push_back("write " + std::string(v.name));
  expected.push_back("close");
  EXPECT_EQ(reg.log, expected);
  ExtSettings back;
  EXPECT_FALSE(LoadExtSettingsAtStartup(back, reg));
  for (const ExtValue& v : kExtValues)
    EXPECT_EQ((back.*v.field).load(), (ext.*v.field).load()) << v.name;
  EXPECT_EQ(reg.KeyAt(HKCU, kKey).size(), 15u);

  // A refused write ends the save there; the key is closed all the same.
  reg.failingWrites = {"Watch"};
  try {
    SaveExtSettingsToRegistry(reg, ext);
    ADD_FAILURE() << "no error";
  } catch (const RegistryError& e) {
    EXPECT_STREQ(e.what(), "Failed to set data for 'Watch'");
  }
  EXPECT_FALSE(reg.KeyOpen());
}

TEST(SettingsKey, IsTheBaseKeyForVarnixInAnyCaseAndItsOwnSubkeyForAnyOtherService) {
  const struct {
    const char* service;
    std::string key;
  } cases[] = {
      {"Varnix", kKey},
      {"VARNIX", kKey},
      {"varnix", kKey},
      {"vArNiX", kKey},
      {"", kKey},
      {"Varnix2", kKey + "\\Varnix2"},
      {"varnix2", kKey + "\\varnix2"},
      {"Varni", kKey + "\\Varni"},
      {"VarnixX", kKey + "\\VarnixX"},
      {"Modem-B", kKey + "\\Modem-B"},
  };
  for (const auto& c : cases) EXPECT_EQ(SettingsKeyFor(c.service), c.key) << c.service;
}

TEST(SettingsKey, AnotherInstanceLoadsWritesAndSavesOnlyItsOwnKey) {
  const std::string own = kKey + "\\Varnix2";
  MemoryRegistry reg;
  reg.SetSettingsKey(SettingsKeyFor("Varnix2"));
  PutSix(reg, HKLM);  // the first instance's settings
  reg.PutDword(HKLM, kKey, "Parts", 9);

  // First start: the six defaults in its own key, nothing else anywhere.
  PortSettings six;
  EXPECT_FALSE(LoadSettingsAtStartup(six, reg));
  EXPECT_EQ(six, PortSettings::Defaults());
  ExtSettings ext;
  EXPECT_FALSE(LoadExtSettingsAtStartup(ext, reg));
  EXPECT_EQ(ext.Parts.load(), 0);
  EXPECT_EQ(reg.KeyAt(HKLM, own).size(), 6u);
  EXPECT_EQ(reg.KeyAt(HKLM, kKey).size(), 7u);
  EXPECT_FALSE(reg.HasKey(HKCU, own));

  // Its own values from then on; the first instance's stay as they were.
  reg.PutDword(HKLM, own, "Watch", 30);
  six.Delay = 700;
  SaveSettingsToRegistry(reg, six);
  ext.Watch = 0;
  EXPECT_FALSE(LoadExtSettingsAtStartup(ext, reg));
  EXPECT_EQ(ext.Watch.load(), 30);
  ext.Retries = 3;
  SaveExtSettingsToRegistry(reg, ext);
  PortSettings back;
  LoadSettingsFromRegistry(back, reg);
  EXPECT_EQ(back.Delay.load(), 700);
  EXPECT_EQ(reg.KeyAt(HKLM, own).size(), 15u);
  EXPECT_EQ(reg.KeyAt(HKLM, kKey).size(), 7u);
  for (const std::string& op : reg.log) {
    if (op.rfind("open ", 0) == 0) {
      EXPECT_EQ(op, "open " + own);
    }
  }

  // Without rights to HKLM, its own key under HKCU.
  MemoryRegistry user;
  user.SetSettingsKey(SettingsKeyFor("Varnix2"));
  user.readOnlyRoots = {HKLM};
  EXPECT_FALSE(LoadSettingsAtStartup(six, user));
  EXPECT_EQ(user.KeyAt(HKCU, own).size(), 6u);
  EXPECT_FALSE(user.HasKey(HKCU, kKey));
}

}  // namespace
}  // namespace varnix
