// The advanced settings dialog without its window: what it shows, which
// entries each field accepts, the refusal of the whole Apply, and what
// reaches the running record.
#include "settings/AdvancedSettings.h"

#include <gtest/gtest.h>

namespace varnix {
namespace {

enum Field { kParts, kAlphabet, kDialogue, kOutbox, kRetries, kWatch, kReceive, kReport, kLog };

// Every field at a value it accepts.
AdvancedDialogValues Good() { return {"0", "0", "0", "0", "0", "0", "0", "0", "0"}; }

TEST(AdvancedSettings, FieldsFollowTheOrderOfTheValues) {
  const char* names[] = {"Parts",   "Alphabet", "Dialogue", "Outbox", "Retries",
                         "Watch",   "Receive",  "Report",   "Log"};
  const bool checkBox[] = {false, true, true, true, false, false, false, true, false};
  for (std::size_t i = 0; i < kAdvancedFieldCount; ++i) {
    EXPECT_STREQ(kExtValues[i].name, names[i]);
    EXPECT_EQ(kAdvancedFields[i].checkBox, checkBox[i]) << names[i];
  }
}

TEST(AdvancedSettings, ShowsTheStoredValuesAndChecksTheSwitchesThatAreOn) {
  ExtSettings stored;
  AdvancedDialogValues expected = Good();
  EXPECT_EQ(FillAdvancedDialog(stored), expected);
  stored.Parts = 5;
  stored.Alphabet = 1;
  stored.Outbox = 1;
  stored.Retries = 10;
  stored.Watch = 3600;
  stored.Receive = 5;
  stored.Log = 365;
  expected = {"5", "1", "0", "1", "10", "3600", "5", "0", "365"};
  EXPECT_EQ(FillAdvancedDialog(stored), expected);
}

TEST(AdvancedSettings, EachFieldAcceptsZeroAndItsRangeOnly) {
  const struct {
    Field field;
    const char* text;
    bool accepted;
    std::int32_t value;
  } cases[] = {
      {kParts, "0", true, 0},        {kParts, "1", true, 1},        {kParts, "2", true, 2},
      {kParts, "255", true, 255},    {kParts, "256", false, 0},     {kParts, "-1", false, 0},
      {kParts, "$10", true, 16},     {kParts, " 7", true, 7},       {kParts, "", false, 0},
      {kParts, "7a", false, 0},      {kAlphabet, "1", true, 1},     {kAlphabet, "2", false, 0},
      {kDialogue, "1", true, 1},     {kDialogue, "-1", false, 0},   {kOutbox, "1", true, 1},
      {kOutbox, "2", false, 0},      {kRetries, "1", true, 1},      {kRetries, "10", true, 10},
      {kRetries, "11", false, 0},    {kRetries, "-3", false, 0},    {kWatch, "9", false, 0},
      {kWatch, "1", false, 0},       {kWatch, "10", true, 10},      {kWatch, "3600", true, 3600},
      {kWatch, "3601", false, 0},    {kWatch, "0", true, 0},        {kReceive, "4", false, 0},
      {kReceive, "5", true, 5},      {kReceive, "3600", true, 3600}, {kReceive, "3601", false, 0},
      {kReport, "1", true, 1},       {kReport, "3", false, 0},      {kLog, "1", true, 1},
      {kLog, "365", true, 365},      {kLog, "366", false, 0},       {kLog, "-1", false, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(kExtValues[c.field].name) + " '" + c.text + "'");
    AdvancedDialogValues fields = Good();
    fields[c.field] = c.text;
    const AdvancedApplyOutcome out = ComputeAdvancedApply(fields);
    EXPECT_EQ(out.ok, c.accepted);
    EXPECT_EQ(out.error.empty(), c.accepted);
    EXPECT_EQ(out.values[c.field], c.value);
  }
}

TEST(AdvancedSettings, ARefusedFieldRefusesTheWholeApplyAndNamesWhatIsWrong) {
  const struct {
    Field field;
    const char* text;
    std::string error;
  } cases[] = {
      {kParts, "300", "“长短信分段数”必须在 0 到 255 之间"},
      {kParts, "", "“长短信分段数”的值 '' 不是整数"},
      {kRetries, "12a", "“失败重试次数”的值 '12a' 不是整数"},
      {kRetries, "11", "“失败重试次数”必须在 0 到 10 之间"},
      {kWatch, "5", "“检查调制解调器间隔”必须是 0 (关闭) 或 10 到 3600 之间"},
      {kReceive, "4000", "“接收短信间隔”必须是 0 (关闭) 或 5 到 3600 之间"},
      {kLog, "400", "“日志保留天数”必须在 0 到 365 之间"},
      {kReport, "2", "“送达报告”只能是 0 或 1"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.error);
    // Every other field holds a good, non-zero value: none of them survives.
    AdvancedDialogValues fields = {"4", "1", "1", "1", "3", "60", "30", "1", "7"};
    fields[c.field] = c.text;
    const AdvancedApplyOutcome out = ComputeAdvancedApply(fields);
    EXPECT_FALSE(out.ok);
    EXPECT_EQ(out.error, c.error);
    for (std::int32_t v : out.values) EXPECT_EQ(v, 0);
  }

  // Two refused fields: the first one is named.
  AdvancedDialogValues fields = {"0", "0", "0", "0", "0", "1", "0", "0", "x"};
  EXPECT_EQ(ComputeAdvancedApply(fields).error,
            "“检查调制解调器间隔”必须是 0 (关闭) 或 10 到 3600 之间");
}

TEST(AdvancedSettings, ApplyStoresAllNineButTheRunningRecordTakesOnlyTheNextMessageOnes) {
  const AdvancedApplyOutcome out =
      ComputeAdvancedApply({"4", "1", "1", "1", "3", "60", "30", "1", "7"});
  ASSERT_TRUE(out.ok) << out.error;
  ExtSettings all;
  StoreAll(out, all);
  const std::int32_t expected[] = {4, 1, 1, 1, 3, 60, 30, 1, 7};
  for (std::size_t i = 0; i < kAdvancedFieldCount; ++i)
    EXPECT_EQ((all.*kExtValues[i].field).load(), expected[i]) << kExtValues[i].name;

  // The worker took Dialogue, Watch and the others at its start: they stay.
  ExtSettings running;
  running.Dialogue = 0;
  running.Watch = 20;
  running.Log = 2;
  StoreNextMessageValues(out, running);
  EXPECT_EQ(running.Parts.load(), 4);
  EXPECT_EQ(running.Alphabet.load(), 1);
  EXPECT_EQ(running.Retries.load(), 3);
  EXPECT_EQ(running.Dialogue.load(), 0);
  EXPECT_EQ(running.Outbox.load(), 0);
  EXPECT_EQ(running.Watch.load(), 20);
  EXPECT_EQ(running.Receive.load(), 0);
  EXPECT_EQ(running.Report.load(), 0);
  EXPECT_EQ(running.Log.load(), 2);
}

TEST(AdvancedSettings, TheNoteNamesWhatAppliesAtTheNextMessageAndWhatAtTheNextStart) {
  EXPECT_EQ(AdvancedAppliesNote(Applies::kNextMessage),
            "从下一条短信起生效: 长短信分段数、GSM 7 位编码、失败重试次数。");
  EXPECT_EQ(AdvancedAppliesNote(Applies::kNextStart),
            "下次启动后才生效: 按提示符对话、发件箱、检查调制解调器间隔、接收短信间隔、"
            "送达报告、日志保留天数。");
}

}  // namespace
}  // namespace varnix
