#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "dde/DdeModel.h"
#include "dde/InboxItems.h"
#include "inbox/InboxLog.h"

namespace varnix {
namespace {

ReceivedMessage Message(std::u16string sender, std::u16string text) {
  ReceivedMessage m;
  m.sender = std::move(sender);
  m.text = std::move(text);
  m.time = {2026, 12, 8, 9, 5, 7, 32};  // +08:00
  return m;
}

class CountingSink : public AdviseSink {
 public:
  void ItemChanged(const TDdeServerItem& item) override { seen.push_back(item.ServedUnicode()); }
  std::vector<std::u16string> seen;
};

TEST(InboxItems, NewestFirstAtMostTwentyEscapedAndRepublishedOnEveryArrival) {
  TDdeServerConv conv("SMS0");
  CountingSink sink;
  conv.SetAdviseSink(&sink);
  InboxItemOwner owner;
  owner.Publish(1, Message(u"+1", u"before"));  // no item yet: nothing kept
  EXPECT_TRUE(owner.Lines().empty());
  owner.CreateItem(conv);
  TDdeServerItem* inbox = conv.FindItem("Inbox");
  ASSERT_NE(inbox, nullptr);
  EXPECT_TRUE(inbox->ReadOnly);
  EXPECT_TRUE(inbox->Unicode);
  EXPECT_EQ(inbox->ServedUnicode(), std::u16string(u"\0", 1));

  // Nothing from outside breaks a line or a field.
  owner.Publish(7, Message(u"+8613800000000", u"a\tb\r\nc\\d\U0001F600\u4F60"));
  ASSERT_EQ(sink.seen.size(), 1u);
  const std::u16string first =
      u"7\t+8613800000000\t2026-12-08 09:05:07+08:00\ta\\tb\\r\\nc\\\\d\U0001F600\u4F60";
  EXPECT_EQ(sink.seen[0], first + std::u16string(u"\r\n\0", 3));
  // CF_TEXT: what the code page lacks is "?" (ASCII here, no code page set).
  EXPECT_EQ(inbox->ServedData(),
            std::string("7\t+8613800000000\t2026-12-08 09:05:07+08:00\ta\\tb\\r\\nc\\\\d??\r\n") +
                std::string(1, '\0'));

  // A tab or a line break in the sender is escaped too.
  owner.Publish(8, Message(u"Bank\tX\n", u""));
  EXPECT_EQ(owner.Lines().front(), u"8\tBank\\tX\\n\t2026-12-08 09:05:07+08:00\t");
  EXPECT_EQ(owner.Lines().back(), first);

  for (std::uint64_t id = 9; id <= 40; ++id) owner.Publish(id, Message(u"+1", u"x"));
  EXPECT_EQ(sink.seen.size(), 2u + 32u);  // every arrival told
  ASSERT_EQ(owner.Lines().size(), kInboxItemMessages);
  EXPECT_EQ(owner.Lines().front().substr(0, 3), u"40\t");
  EXPECT_EQ(owner.Lines().back().substr(0, 3), u"21\t");
  ASSERT_EQ(inbox->WideLines().size(), 20u);
  EXPECT_EQ(inbox->WideLines()[1].substr(0, 3), u"39\t");

  // A client's poke is the transport's to refuse; the item says so.
  EXPECT_TRUE(inbox->ReadOnly);
}

class MemoryLog final : public InboxLogStore {
 public:
  std::optional<std::string> ReadTail(std::size_t maxBytes) override {
    asked = maxBytes;
    if (!readable) return std::nullopt;
    return bytes;
  }
  bool Append(std::string_view b) override {
    if (!writable) return false;
    bytes += b;
    return true;
  }
  std::string bytes;
  bool readable = true;
  bool writable = true;
  std::size_t asked = 0;
};

TEST(InboxLog, TheLastIdIsReadFromTheLogsLastWholeLine) {
  const struct {
    std::string text;
    std::uint64_t id;
  } cases[] = {
      {"", 0},
      {"\r\n", 0},
      {"1\ta\tb\tc\r\n", 1},
      {"1\ta\tb\tc\r\n2\ta\tb\tc\r\n", 2},
      {"1\ta\tb\tc\n12\t+1\tt\tx", 12},          // no line end: the id is there
      {"5\ta\tb\tc\r\n6", 5},                    // torn before its TAB
      {"5\ta\tb\tc\r\n6\xE4\xBD", 5},            // torn in a UTF-8 sequence
      {"5\ta\tb\tc\r\n\r\n\r\n", 5},             // empty lines after it
      {"41\ta\r\nx\ty\r\n", 41},                 // not an id: passed over
      {"99999999999999999999\ta\r\n", 0},        // beyond 64 bits
      {"18446744073709551615\ta\r\n", 18446744073709551615u},
      {"\t1\r\n", 0},
  };
  for (const auto& c : cases) EXPECT_EQ(LastInboxId(c.text), c.id) << c.text;
}

TEST(InboxLog, IdsGoOnFromTheLogAndAFailedWriteUsesNone) {
  MemoryLog store;
  store.bytes = "3\t+1\t2026-01-01 00:00:00+00:00\told\r\n";
  InboxLog log(&store);
  EXPECT_GE(store.asked, 255u * 67u * 6u);  // more than the longest line
  EXPECT_EQ(log.LastId(), 3u);
  EXPECT_EQ(log.Record(Message(u"+86", u"\u4F60\t\U0001F600")), std::optional<std::uint64_t>(4));
  EXPECT_EQ(store.bytes.substr(store.bytes.find("\r\n") + 2),
            "4\t+86\t2026-12-08 09:05:07+08:00\t\xE4\xBD\xA0\\t\xF0\x9F\x98\x80\r\n");
  store.writable = false;
  EXPECT_EQ(log.Record(Message(u"+86", u"lost")), std::nullopt);
  store.writable = true;
  EXPECT_EQ(log.Record(Message(u"+86", u"again")), std::optional<std::uint64_t>(5));
  EXPECT_EQ(LastInboxId(store.bytes), 5u);

  // A log that cannot be read: ids start over, and it says so.
  MemoryLog unreadable;
  unreadable.readable = false;
  InboxLog fresh(&unreadable);
  EXPECT_FALSE(fresh.Readable());
  EXPECT_EQ(fresh.Record(Message(u"+1", u"x")), std::optional<std::uint64_t>(1));
  // No log at all: ids only.
  InboxLog none(nullptr);
  EXPECT_EQ(none.Record(Message(u"+1", u"x")), std::optional<std::uint64_t>(1));
  EXPECT_EQ(none.Record(Message(u"+1", u"x")), std::optional<std::uint64_t>(2));
}

}  // namespace
}  // namespace varnix
