// The opt-in values beside the six: absent, wrong, out of range, and the
// key they come from.
#include "uMeter/ExtSettings.h"

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
  EXPECT_FALSE(LoadExtSettingsAtStartup(ext, reg));
  EXPECT_EQ(ext.Parts.load(), 0);
  EXPECT_EQ(ext.Alphabet.load(), 0);
  EXPECT_EQ(ext.Dialogue.load(), 0);
  const MemoryRegistry::Key& key = reg.KeyAt(HKLM, kKey);
  EXPECT_EQ(key.size(), 6u);
  EXPECT_EQ(key.count("Parts") + key.count("Alphabet") + key.count("Dialogue"), 0u);
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
  // A user who may not write under HKLM has the six under HKCU: the new
  // values are looked for there too, not in HKLM.
  MemoryRegistry reg;
  PutSix(reg, HKLM);
  reg.PutDword(HKLM, kKey, "Parts", 4);
  PutSix(reg, HKCU);
  reg.PutDword(HKCU, kKey, "Parts", 6);
  reg.PutDword(HKCU, kKey, "Dialogue", 1);
  reg.readOnlyRoots = {HKLM};
  ExtSettings ext;
  EXPECT_FALSE(LoadExtSettingsAtStartup(ext, reg));
  EXPECT_EQ(ext.Parts.load(), 6);
  EXPECT_EQ(ext.Alphabet.load(), 0);
  EXPECT_EQ(ext.Dialogue.load(), 1);
  EXPECT_EQ(reg.log, (std::vector<std::string>{"root HKLM", "open " + kKey, "root HKCU",
                                                "open " + kKey, "read Parts", "read Dialogue",
                                                "close"}));

  reg.readOnlyRoots.clear();
  EXPECT_FALSE(LoadExtSettingsAtStartup(ext, reg));
  EXPECT_EQ(ext.Parts.load(), 4);
  EXPECT_EQ(ext.Dialogue.load(), 0);
}

}  // namespace
}  // namespace varnix
