#include "dde/SendRule.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sms/PduEncoder.h"
#include "support/Utf8Codec.h"

namespace varnix {
namespace {

// Records every notification of every item, as an advise client would.
class Watcher : public AdviseSink {
 public:
  void ItemChanged(const TDdeServerItem& item) override { seen.push_back(item.Name + "=" + item.Text()); }
  std::vector<std::string> Of(const std::string& name) const {
    std::vector<std::string> out;
    for (const auto& s : seen) {
      if (s.rfind(name + "=", 0) == 0) out.push_back(s.substr(name.size() + 1));
    }
    return out;
  }
  std::vector<std::string> seen;
};

class SendRuleTest : public ::testing::Test {
 protected:
  SendRuleTest() {
    state.codec = &codec;
    conv.SetAdviseSink(&watcher);
    owner.CreateItems(conv, state);
  }

  // A client's poke as the server layer delivers it.
  void Poke(int index, const std::string& bytes) {
    state.items[static_cast<std::size_t>(index)]->StorePoke(
        reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
  }
  std::vector<QueuedMessage> Take() {
    std::vector<QueuedMessage> out;
    while (auto m = state.sendQueue.TakeNext()) out.push_back(std::move(*m));
    return out;
  }
  // Each as "number,text" (the tests' texts are ASCII).
  std::vector<std::string> Drain() {
    std::vector<std::string> out;
    for (const QueuedMessage& m : Take())
      out.push_back(m.number + "," + std::string(m.text.begin(), m.text.end()));
    return out;
  }
  std::string Text(int index) { return state.items[static_cast<std::size_t>(index)]->Text(); }

  testing::Utf8Codec codec;
  GatewayState state;
  TDdeServerConv conv{"SMS0"};
  Watcher watcher;
  ItemOwner owner;
};

TEST_F(SendRuleTest, CreateItemsBuildsTheTable) {
  EXPECT_TRUE(owner.Created());
  ASSERT_EQ(conv.Items().size(), 8u);
  const char* names[] = {"Status", "Wakeup", "Sleep", "Num", "SMS", "Send", "", ""};
  for (int i = 0; i < kItemCount; ++i) {
    TDdeServerItem* item = state.items[static_cast<std::size_t>(i)];
    ASSERT_NE(item, nullptr) << i;
    EXPECT_EQ(item->Tag, i);
    EXPECT_EQ(item->Name, names[i]);
    EXPECT_EQ(item->ServerConv(), &conv);
    EXPECT_TRUE(item->Lines().empty());
    EXPECT_TRUE(item->OnPokeData);
    EXPECT_EQ(conv.Items()[static_cast<std::size_t>(i)], item);
  }
  EXPECT_EQ(conv.FindItem("Send"), state.items[kSend]);
  EXPECT_EQ(conv.FindItem("Num"), state.items[kNum]);
}

TEST_F(SendRuleTest, TriggersAndTheirEffects) {
  const struct {
    const char* num;
    const char* sms;
    std::string trigger;
    std::vector<std::string> queued;
    const char* sendAfter;
  } cases[] = {
      {"12345678901", "hello", "1", {"12345678901,hello"}, "0"},
      {"12345678901", "hello", "1\r\n", {"12345678901,hello"}, "0"},
      {"12345678901", "hello", "1\n2", {"12345678901,hello"}, "0"},
      {"12345678901", "hello", " 1", {}, " 1"},
      {"12345678901", "hello", "1 ", {}, "1 "},
      {"12345678901", "hello", "0", {}, "0"},
      {"12345678901", "hello", "11", {}, "11"},
      {"12345678901", "hello", "", {}, ""},
      {"12345678901", "hello", "\r\n1", {}, ""},
      {"", "hello", "1", {}, "0"},
      {"12345678901", "", "1", {}, "0"},
      {"", "", "1", {}, "0"},
      // A comma in the number: queued with an empty number, which the worker
      // refuses; the text stays whole.
      {"123,4", "a,b", "1", {",a,b"}, "0"},
      {",", "hi", "1", {",hi"}, "0"},
      {"13800138000,", "hi", "1", {",hi"}, "0"},
      {" 1 3 ", " x ", "1", {" 1 3 , x "}, "0"},
      {"13800000000", "first\r\nsecond", "1", {"13800000000,first"}, "0"},
  };
  for (const auto& c : cases) {
    Poke(kNum, c.num);
    Poke(kSms, c.sms);
    Poke(kSend, c.trigger);
    EXPECT_EQ(Drain(), c.queued) << "trigger [" << c.trigger << "] num [" << c.num << "]";
    EXPECT_EQ(Text(kSend), c.sendAfter) << "trigger [" << c.trigger << "]";
    // The program never clears the number or the text.
    EXPECT_EQ(Text(kNum), c.num);
  }
}

TEST_F(SendRuleTest, ANumberWithACommaIsQueuedAsRefusedInItsPlace) {
  // Num "123,4" must never send "4,hi" to 123: the entry it queues splits
  // into a number the worker refuses, between the entries poked around it.
  const struct {
    const char* num;
    const char* sms;
  } pokes[] = {{"11111111111", "a"}, {"123,4", "hi"}, {"22222222222", "b,c"}};
  for (const auto& p : pokes) {
    Poke(kNum, p.num);
    Poke(kSms, p.sms);
    Poke(kSend, "1");
    EXPECT_EQ(Text(kSend), "0");
    EXPECT_EQ(Text(kNum), p.num);  // the client's value stays as poked
  }
  const std::vector<QueuedMessage> messages = Take();
  ASSERT_EQ(messages.size(), 3u);
  const bool sendable[] = {true, false, true};
  for (std::size_t i = 0; i < 3; ++i) {
    const std::string text(messages[i].text.begin(), messages[i].text.end());
    EXPECT_EQ(IsSendableNumber(messages[i].number), sendable[i]) << messages[i].number;
    EXPECT_EQ(text, pokes[i].sms) << messages[i].number;
  }
  EXPECT_EQ(QueueEntry("123,4", "hi"), ",hi");
  EXPECT_EQ(QueueEntry("12345678901", "a,b"), "12345678901,a,b");
}

TEST_F(SendRuleTest, RepeatedTriggersQueueRepeatedly) {
  Poke(kNum, "13900000000");
  Poke(kSms, "again");
  Poke(kSend, "1");
  Poke(kSend, "1");
  state.items[kSend]->SetText("1");  // the hidden test button's route
  ItemPokeData(state, *state.items[kSend]);
  EXPECT_EQ(Drain(), (std::vector<std::string>{"13900000000,again", "13900000000,again",
                                               "13900000000,again"}));
}

TEST_F(SendRuleTest, OnlySendReacts) {
  Poke(kNum, "13900000000");
  Poke(kSms, "x");
  for (int i : {0, 1, 2, 3, 4, 6, 7}) {
    Poke(i, "1");
    EXPECT_EQ(Text(i), "1") << i;
  }
  EXPECT_EQ(state.sendQueue.Count(), 0u);
  // A poke into Status is stored and served until the next publication.
  EXPECT_EQ(state.items[kStatus]->ServedData(), std::string("1\r\n\0", 4));
  state.statusText.Set("0");
  WMSendDone(state, 0);
  EXPECT_EQ(state.items[kStatus]->ServedData(), std::string("0\r\n\0", 4));
}

TEST_F(SendRuleTest, SendWatcherSeesOneThenZeroAndTheEntryIsQueuedByThen) {
  Poke(kNum, "13900000000");
  Poke(kSms, "x");
  watcher.seen.clear();
  std::size_t queuedAtReset = 99;
  // Look at the queue at the moment the reset to "0" is announced.
  struct Probe : AdviseSink {
    Watcher* inner;
    GatewayState* state;
    std::size_t* queued;
    void ItemChanged(const TDdeServerItem& item) override {
      if (item.Name == "Send" && item.Text() == "0") *queued = state->sendQueue.Count();
      inner->ItemChanged(item);
    }
  } probe;
  probe.inner = &watcher;
  probe.state = &state;
  probe.queued = &queuedAtReset;
  conv.SetAdviseSink(&probe);
  Poke(kSend, "1");
  EXPECT_EQ(watcher.Of("Send"), (std::vector<std::string>{"1", "0"}));
  EXPECT_EQ(queuedAtReset, 1u);
  // A trigger that is not "1" is announced once and stays.
  watcher.seen.clear();
  Poke(kSend, "2");
  EXPECT_EQ(watcher.Of("Send"), std::vector<std::string>{"2"});
}

TEST_F(SendRuleTest, NothingIsQueuedOnceShutdownHasBegun) {
  Poke(kNum, "13900000000");
  Poke(kSms, "late");
  state.RequestStop();
  Poke(kSend, "1");
  EXPECT_EQ(Text(kSend), "0");
  EXPECT_EQ(state.sendQueue.Count(), 0u);

  GatewayState released;
  TDdeServerConv conv2("SMS0");
  ItemOwner owner2;
  owner2.CreateItems(conv2, released);
  released.items[kNum]->SetText("13900000000");
  released.items[kSms]->SetText("late");
  released.sendQueue.Release();
  released.items[kSend]->SetText("1");
  ItemPokeData(released, *released.items[kSend]);
  EXPECT_EQ(released.items[kSend]->Text(), "0");
  EXPECT_EQ(released.sendQueue.Count(), 0u);
  EXPECT_FALSE(released.sendQueue.TakeNext().has_value());
}

TEST_F(SendRuleTest, SendDonePublishesTheStatusTextEveryTime) {
  EXPECT_EQ(state.items[kStatus]->ServedData(), std::string("\0", 1));
  watcher.seen.clear();
  state.statusText.Set("1");
  WMSendDone(state, 0);
  WMSendDone(state, 0);  // a repeated outcome is published again
  state.statusText.Set("0");
  WMSendDone(state, 7);  // ignored
  WMSendDone(state, 1);  // ignored
  EXPECT_EQ(Text(kStatus), "1");
  WMSendDone(state, 0);
  EXPECT_EQ(watcher.Of("Status"), (std::vector<std::string>{"1", "1", "0"}));
  EXPECT_EQ(state.items[kStatus]->ServedData(), std::string("0\r\n\0", 4));
}

TEST_F(SendRuleTest, EachPostPublishesItsOwnOutcome) {
  // A refused number is reported at once, before the GUI thread has handled
  // the post of the message before it: that message's "1" must survive.
  watcher.seen.clear();
  state.statusText.Set("1");
  state.statusText.Set("0");
  state.statusText.Set("1");
  WMSendDone(state, 0);
  WMSendDone(state, 0);
  state.statusText.Set("0");
  WMSendDone(state, 0);
  WMSendDone(state, 0);
  // A post without an outcome of its own republishes the current one.
  WMSendDone(state, 0);
  EXPECT_EQ(watcher.Of("Status"), (std::vector<std::string>{"1", "0", "1", "0", "0"}));
  EXPECT_EQ(state.statusText.Get(), "0");
}

TEST(StatusText, UnpublishedOutcomesAreBounded) {
  StatusText status;
  for (std::size_t i = 0; i < StatusText::kMaxUnpublished + 5; ++i)
    status.Set(std::to_string(i));
  EXPECT_EQ(status.TakeForPublication(), "5");  // the five oldest were dropped
  for (std::size_t i = 1; i < StatusText::kMaxUnpublished; ++i) status.TakeForPublication();
  EXPECT_EQ(status.TakeForPublication(), std::to_string(StatusText::kMaxUnpublished + 4));
  EXPECT_EQ(status.TakeForPublication(), std::to_string(StatusText::kMaxUnpublished + 4));
}

TEST(SendRuleWithoutItems, PublicationAndRuleDoNothing) {
  GatewayState state;
  state.statusText.Set("1");
  WMSendDone(state, 0);  // no items: nothing to publish into
  TDdeServerItem loose;
  loose.Tag = kSend;
  loose.SetText("1");
  ItemPokeData(state, loose);
  EXPECT_EQ(state.sendQueue.Count(), 0u);
  EXPECT_EQ(loose.Text(), "0");
}

}  // namespace
}  // namespace varnix
