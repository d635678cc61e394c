#include "dde/ResultItems.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "outbox/Journal.h"
#include "support/JournalText.h"
#include "support/MemoryJournalStore.h"
#include "support/WorkerBench.h"
#include "dde/SendRule.h"
#include "message/MessageOutcome.h"

namespace varnix {
namespace {

using testing::Bench;
using testing::kCompleteReply;

// What advise links would be served, item by item, in the order of the
// notifications.
class Links : public AdviseSink {
 public:
  void ItemChanged(const TDdeServerItem& item) override {
    seen.push_back(item.Name + "=" + item.Text());
  }
  std::vector<std::string> Of(const std::string& name) const {
    std::vector<std::string> out;
    for (const auto& s : seen)
      if (s.rfind(name + "=", 0) == 0) out.push_back(s.substr(name.size() + 1));
    return out;
  }
  std::vector<std::string> seen;
};

// The topic as Varnix.exe builds it, around the worker's bench: the eight
// items and the three beside them, with pokes and executes coming in as
// the transport hands them over.
struct Topic {
  explicit Topic(Bench& bench) : state(bench.state) {
    conv.SetAdviseSink(&links);
    eight.CreateItems(conv, state);
    three.CreateItems(conv, state, bench.codec);
  }
  void Poke(const char* item, const std::string& bytes, ClientKey from) {
    conv.FindItem(item)->StorePoke(reinterpret_cast<const std::uint8_t*>(bytes.data()),
                                   bytes.size(), from);
  }
  void Submit(const std::string& number, const std::string& text, ClientKey from) {
    Poke("Num", number, from);
    Poke("SMS", text, from);
    Poke("Send", "1", from);
  }
  bool Execute(const std::string& command, ClientKey from) {
    return conv.Execute(reinterpret_cast<const std::uint8_t*>(command.data()), command.size(), from);
  }
  std::string IdOf(ClientKey client) const { return state.resultItems.id->ServedData(client); }

  GatewayState& state;
  TDdeServerConv conv{"SMS0"};
  Links links;
  ItemOwner eight;
  ResultItemOwner three;
};

TEST(ResultItems, TheThreeItemsStandBesideTheEightAndRefusePokes) {
  Bench bench;
  Topic topic(bench);
  ASSERT_EQ(topic.conv.Items().size(), 11u);
  for (const char* name : {"Id", "Result", "Queue"}) {
    const TDdeServerItem* item = topic.conv.FindItem(name);
    ASSERT_NE(item, nullptr) << name;
    EXPECT_TRUE(item->ReadOnly) << name;
    EXPECT_TRUE(item->Unicode) << name;
  }
  for (const char* name : {"Status", "Num", "SMS", "Send"})
    EXPECT_FALSE(topic.conv.FindItem(name)->ReadOnly) << name;
  // The eight stay CF_TEXT only.
  for (const TDdeServerItem* item : topic.conv.Items()) {
    if (item->Name != "Id" && item->Name != "Result" && item->Name != "Queue") {
      EXPECT_FALSE(item->Unicode) << item->Name;
    }
  }
  EXPECT_EQ(topic.conv.FindItem("Queue")->ServedData(), std::string("0\r\n\0", 4));
  EXPECT_EQ(topic.conv.FindItem("Result")->ServedData(), std::string("\0", 1));
  EXPECT_EQ(topic.IdOf(1), std::string("\0", 1));
}

TEST(ResultItems, EachConversationReadsTheIdOfItsOwnLastMessage) {
  Bench bench;
  Topic topic(bench);
  topic.Submit("13800138000", "a", 1);
  topic.Submit("13900139000", "b", 2);
  topic.Submit("13700137000", "c", 1);
  EXPECT_EQ(topic.IdOf(1), std::string("3\r\n\0", 4));
  EXPECT_EQ(topic.IdOf(2), std::string("2\r\n\0", 4));
  EXPECT_EQ(topic.IdOf(3), std::string("\0", 1));
  // Every accepted message took the next id, in queue order.
  std::vector<MessageId> ids;
  while (auto m = bench.state.sendQueue.TakeNext()) ids.push_back(m->id);
  EXPECT_EQ(ids, (std::vector<MessageId>{1, 2, 3}));

  // A Send "1" that queued nothing empties that conversation's Id only;
  // another value of Send leaves it alone.
  topic.Poke("SMS", "", 2);
  topic.Poke("Send", "1", 2);
  EXPECT_EQ(topic.IdOf(2), std::string("\0", 1));
  topic.Submit("13800138000", "d", 2);
  topic.Poke("Send", "0", 2);
  EXPECT_EQ(topic.IdOf(2), std::string("4\r\n\0", 4));
  EXPECT_EQ(topic.IdOf(1), std::string("3\r\n\0", 4));

  // A conversation that ended leaves nothing behind.
  topic.conv.ClientGone(1);
  EXPECT_EQ(bench.state.conversationIds.count(1), 0u);
  EXPECT_EQ(bench.state.conversationIds.count(2), 1u);
}

TEST(ResultItems, ResultTellsEveryChangeInOrderAndQueueCountsWhatIsNotFinished) {
  Bench bench;
  Topic topic(bench);
  bench.delay = 0;
  bench.modem.reply = {{0, kCompleteReply}};
  topic.Submit("13800138000", "hello", 7);
  // Queued, and told so, before the poke is answered.
  EXPECT_EQ(topic.links.Of("Result"), (std::vector<std::string>{"1\tqueued\t"}));
  EXPECT_EQ(topic.links.Of("Queue"), (std::vector<std::string>{"0", "1"}));
  topic.Submit("12a", "bad number", 7);
  topic.Submit("13800138000", "refused by the modem", 7);

  // The second message is refused without a byte; the modem takes the
  // first and refuses the third (its answer to a PDU is scripted when the
  // PDU goes out, so the change after the first one is for the third).
  int sent = 0;
  bench.modem.onSend = [&](const std::string& s) {
    if (!s.empty() && s.back() == '\x1a' && ++sent == 1)
      bench.modem.reply = {{0, "\r\n+CMS ERROR: 500\r\n"}};
  };
  bench.worker.Execute();
  // Only the window's post publishes what the worker recorded: Result
  // first, then Status, one each per message even if posts were lost.
  EXPECT_EQ(topic.links.Of("Result").size(), 3u);
  WMSendDone(bench.state, 0);
  WMSendDone(bench.state, 0);
  WMSendDone(bench.state, 0);
  EXPECT_EQ(topic.links.Of("Result"),
            (std::vector<std::string>{"1\tqueued\t", "2\tqueued\t", "3\tqueued\t", "1\tsent\t12",
                                      "2\tfailed\trefused number",
                                      "3\tfailed\t+CMS ERROR: 500"}));
  EXPECT_EQ(topic.links.Of("Queue"),
            (std::vector<std::string>{"0", "1", "2", "3", "2", "1", "0"}));
  EXPECT_EQ(topic.links.Of("Status"), (std::vector<std::string>{"1", "0", "0"}));
  // The last Result line comes before the Status of its message.
  const auto& seen = topic.links.seen;
  EXPECT_LT(std::find(seen.begin(), seen.end(), "Result=1\tsent\t12") - seen.begin(),
            std::find(seen.begin(), seen.end(), "Status=1") - seen.begin());
}

TEST(ResultItems, ABurstOfRefusalsLosesNoLineWhenPostsAreLost) {
  Bench bench;
  Topic topic(bench);
  constexpr int kBurst = 500;
  for (int i = 0; i < kBurst; ++i) topic.Submit("no-digits", "x", 1);
  bench.worker.Execute();
  // One post arrived for all of them.
  WMSendDone(bench.state, 0);
  const std::vector<std::string> lines = topic.links.Of("Result");
  ASSERT_EQ(lines.size(), 2u * kBurst);
  for (int i = 0; i < kBurst; ++i) {
    EXPECT_EQ(lines[static_cast<std::size_t>(i)], std::to_string(i + 1) + "\tqueued\t");
    EXPECT_EQ(lines[static_cast<std::size_t>(kBurst + i)],
              std::to_string(i + 1) + "\tfailed\trefused number");
  }
  EXPECT_EQ(topic.links.Of("Queue").back(), "0");
  EXPECT_EQ(bench.state.unfinished, 0u);
}

TEST(ResultItems, ExecuteQueuesAllOrNothing) {
  Bench bench;
  Topic topic(bench);
  testing::MemoryJournalStore store;
  Journal journal(store);
  journal.Load();
  bench.state.journal = &journal;
  struct Case {
    const char* command;
    bool acknowledged;
    std::size_t queued;
  } cases[] = {
      {"[Send(\"13800138000\",\"one\")]", true, 1},
      {"[Send(\"+8613800138000\",\"a\")][send(\"10086\",\"b\")]", true, 2},
      {"[Send(\"138001a8000\",\"letter\")]", false, 0},
      {"[Send(\"13800138000\",\"ok\")][Send(\"1380\",\"unclosed)]", false, 0},
      {"[Send(\"13800138000\",\"ok\")][Send(\"12x\",\"bad\")]", false, 0},
      {"[Send(\"13800138000\",\"\")]", false, 0},
      {"[Send(\"\",\"no number\")]", false, 0},
      {"[Send(\"13800138000\")]", false, 0},
      {"[Open(\"x\")]", true, 0},
      {"hello", true, 0},
      {"", true, 0},
  };
  MessageId lastId = 0;
  for (const Case& c : cases) {
    const std::size_t before = bench.state.sendQueue.Count();
    const std::string idBefore = topic.IdOf(5);
    EXPECT_EQ(topic.Execute(c.command, 5), c.acknowledged) << c.command;
    EXPECT_EQ(bench.state.sendQueue.Count() - before, c.queued) << c.command;
    if (c.queued > 0) {
      lastId += c.queued;
      EXPECT_EQ(topic.IdOf(5), std::to_string(lastId) + std::string("\r\n\0", 3)) << c.command;
    } else {
      EXPECT_EQ(topic.IdOf(5), idBefore) << c.command;
    }
  }
  std::vector<std::string> entries;
  while (auto m = bench.state.sendQueue.TakeNext())
    entries.push_back(m->number + "," + std::string(m->text.begin(), m->text.end()));
  // Each came in as UTF-16, and is journaled so ("A <id> u ...").
  for (const std::string& line : testing::Lines(store.bytes))
    EXPECT_TRUE(line[0] != 'A' || line.substr(line.find(' ', 2) + 1, 2) == "u ") << line;
  EXPECT_EQ(entries,
            (std::vector<std::string>{"13800138000,one", "+8613800138000,a", "10086,b"}));
  EXPECT_EQ(topic.links.Of("Result"),
            (std::vector<std::string>{"1\tqueued\t", "2\tqueued\t", "3\tqueued\t"}));

  // Once shutdown has begun nothing more is accepted.
  bench.state.RequestStop();
  EXPECT_FALSE(topic.Execute("[Send(\"13800138000\",\"late\")]", 5));
  EXPECT_EQ(bench.state.sendQueue.Count(), 0u);
}

TEST(ResultItems, AUnicodeTextReachesThePduWithoutTheCodePage) {
  Bench bench;
  Topic topic(bench);
  bench.delay = 0;
  bench.modem.reply = {{0, kCompleteReply}};
  // "한\n" as UTF-16LE, the way DDEML hands a Unicode server the command.
  const std::u16string command = u"[Send(\"10086\",\"\uD55C\r\n\")]";
  const std::string bytes(reinterpret_cast<const char*>(command.data()), command.size() * 2);
  ASSERT_TRUE(topic.Execute(bytes, 1));
  bench.worker.Execute();
  const std::vector<std::string> sends = bench.Kinds("send:");
  ASSERT_FALSE(sends.empty());
  // UCS-2 D55C then LF (000A), the line break kept as LF.
  EXPECT_NE(sends.back().find("04D55C000A"), std::string::npos) << sends.back();
}

TEST(ResultItems, WhatStillWaitsAtShutdownEndsFailedClosedWithoutAStatus) {
  Bench bench;
  Topic topic(bench);
  topic.Submit("13800138000", "a", 1);
  topic.Submit("13800138000", "b", 1);
  bench.state.RequestStop();
  FailWaiting(bench.state, bench.state.sendQueue.Release());
  EXPECT_EQ(topic.links.Of("Result"),
            (std::vector<std::string>{"1\tqueued\t", "2\tqueued\t", "1\tfailed\tclosed",
                                      "2\tfailed\tclosed"}));
  EXPECT_EQ(topic.links.Of("Queue").back(), "0");
  EXPECT_TRUE(topic.links.Of("Status").empty());
}

TEST(MessageResults, FinalChangesAndTheirLines) {
  MessageOutcome sent;
  sent.sent = true;
  sent.references = {17, -1, 255};
  EXPECT_EQ(ResultLine(FinalChange(9, sent)), "9\tsent\t17 ? 255");

  MessageOutcome failed;
  FailPart(failed, 2, "+CMS ERROR: 500");
  failed.parts = 3;
  EXPECT_EQ(ResultLine(FinalChange(10, failed)), "10\tfailed\t" + failed.why);

  MessageOutcome silent;  // a failure nobody named
  EXPECT_EQ(ResultLine(FinalChange(11, silent)), "11\tfailed\tinternal error");

  EXPECT_EQ(ResultLine({12, MessageState::kRetry, "30 +CMS\tERROR:\r\n 500"}),
            "12\tretry\t30 +CMS ERROR:   500");
  struct {
    MessageState state;
    const char* name;
    bool final;
  } states[] = {{MessageState::kQueued, "queued", false},   {MessageState::kSent, "sent", true},
                {MessageState::kFailed, "failed", true},    {MessageState::kRetry, "retry", false},
                {MessageState::kUnknown, "unknown", true},  {MessageState::kDelivered, "delivered", false},
                {MessageState::kUndelivered, "undelivered", false}};
  for (const auto& s : states) {
    EXPECT_STREQ(StateName(s.state), s.name);
    EXPECT_EQ(IsFinal(s.state), s.final) << s.name;
  }
}

}  // namespace
}  // namespace varnix
