#include "modem/ModemWatch.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/PromptBench.h"
#include "dde/ModemItems.h"

namespace varnix {
namespace {

ModemAnswer Ok(std::vector<std::string> information) {
  ModemAnswer a;
  a.result = ModemResult::kOk;
  a.finalLine = "OK";
  a.information = std::move(information);
  return a;
}

ModemAnswer Failed() {
  ModemAnswer a;
  a.result = ModemResult::kError;
  a.finalLine = "ERROR";
  return a;
}

TEST(ModemWatch, AnswersBecomeTheItemsValues) {
  const struct {
    std::string line;
    std::string signal;
  } csq[] = {{"+CSQ: 21,99", "21"}, {"+CSQ: 0,0", "0"},    {"+CSQ:31,7", "31"},
             {"+CSQ: 99,99", "99"}, {"+CSQ: 32,0", "99"},  {"+CSQ: -1,0", "99"},
             {"+CSQ: x", "99"},     {"+CSQ: 12345,1", "99"}, {"+CREG: 1", "99"}};
  for (const auto& c : csq) EXPECT_EQ(SignalOf(Ok({c.line})), c.signal) << c.line;
  EXPECT_EQ(SignalOf(Failed()), "99");

  const struct {
    std::string line;
    std::string network;
  } creg[] = {{"+CREG: 0,1", "registered"},
              {"+CREG: 2,5,\"1A2B\",\"00C3\"", "roaming"},
              {"+CREG: 0,2", "searching"},
              {"+CREG: 0,3", "denied"},
              {"+CREG: 0,0", "none"},
              {"+CREG: 0,4", "unknown"},
              {"+CREG: 2,1,\"1A2B\",\"00C3\",7", "registered"},
              {"+CREG: 1", "registered"},
              {"+CREG: 5,\"1A2B\",\"00C3\"", "roaming"},
              {"+CREG: 0,9", "unknown"},
              {"+CREG:", "unknown"},
              {"+CSQ: 1,1", "unknown"}};
  for (const auto& c : creg) EXPECT_EQ(NetworkOf(Ok({c.line})), c.network) << c.line;
  EXPECT_EQ(NetworkOf(Failed()), "unknown");

  const struct {
    std::string line;
    std::string name;
  } cops[] = {{"+COPS: 0,0,\"CHINA MOBILE\"", "CHINA MOBILE"},
              {"+COPS: 0,0,\"China Unicom\",7", "China Unicom"},
              {"+COPS: 0", ""},
              {"+COPS: 0,0,\"unclosed", ""},
              {"+COPS: 0,2,\"46000\"", "46000"},
              {"+COPS: 0,0,\"a\tb\"", "a b"}};
  for (const auto& c : cops) EXPECT_EQ(OperatorOf(Ok({c.line})), c.name) << c.line;
  EXPECT_EQ(OperatorOf(Failed()), "");
}

TEST(ModemWatch, TheThreeChecksGoOutInTurnAndASilentModemCountsAsNoAnswer) {
  testing::PromptBench bench;
  bench.modem.edit = [](const std::string& sent, int, std::vector<testing::PromptModem::Chunk>& a) {
    if (sent == "AT+CSQ\r") a = {{30, "\r\n+CSQ: 18,99\r\n\r\nOK\r\n"}};
    if (sent == "AT+CREG?\r") a = {{30, "\r\n+CREG: 0,1\r\n\r\nOK\r\n"}};
    if (sent == "AT+COPS?\r") a = {{30, "\r\n+COPS: 0,0,\"CHINA MOBILE\"\r\n\r\nOK\r\n"}};
  };
  ModemLineReader reader(bench.modem, bench.readerClock);
  const ModemStatus status = CheckModem(reader);
  EXPECT_EQ(status, (ModemStatus{"18", "registered", "CHINA MOBILE", true}));
  EXPECT_EQ(bench.Sends(), (std::vector<std::string>{"AT+CSQ\r", "AT+CREG?\r", "AT+COPS?\r"}));

  // No answer at all: each command waits its 5 s, and nothing is known.
  testing::PromptBench silent;
  silent.modem.edit = [](const std::string&, int, std::vector<testing::PromptModem::Chunk>& a) {
    a.clear();
  };
  ModemLineReader quiet(silent.modem, silent.readerClock);
  const long before = silent.clock.now;
  EXPECT_EQ(CheckModem(quiet), (ModemStatus{"99", "unknown", "", false}));
  EXPECT_GE(silent.clock.now - before, 15000);
  EXPECT_LE(silent.clock.now - before, 15100);
}

// Counts what the advise links of each item would be told.
class Told : public AdviseSink {
 public:
  void ItemChanged(const TDdeServerItem& item) override { seen.push_back(item.Name + "=" + item.Text()); }
  std::vector<std::string> seen;
};

TEST(ModemItems, EachItemIsToldOnlyWhenItsValueChanged) {
  TDdeServerConv conv("SMS0");
  Told told;
  conv.SetAdviseSink(&told);
  ModemItemOwner owner;
  owner.CreateItems(conv);
  for (const char* name : {"Signal", "Network", "Operator"}) {
    ASSERT_NE(conv.FindItem(name), nullptr) << name;
    EXPECT_TRUE(conv.FindItem(name)->ReadOnly) << name;
  }
  EXPECT_EQ(owner.Publish({"23", "registered", "CMCC", true}), L"\u4FE1\u53F7 23");
  EXPECT_EQ(told.seen, (std::vector<std::string>{"Signal=23", "Network=registered", "Operator=CMCC"}));
  told.seen.clear();
  EXPECT_EQ(owner.Publish({"23", "roaming", "CMCC", true}), L"\u4FE1\u53F7 23");
  EXPECT_EQ(told.seen, (std::vector<std::string>{"Network=roaming"}));
  told.seen.clear();
  owner.Publish({"23", "roaming", "CMCC", true});
  EXPECT_TRUE(told.seen.empty());

  // Wakeup follows the port.
  GatewayState state;
  TDdeServerItem wakeup;
  wakeup.Name = "Wakeup";
  state.items[kWakeup] = &wakeup;
  PublishPresence(state, false);
  EXPECT_EQ(wakeup.Text(), "0");
  PublishPresence(state, true);
  EXPECT_EQ(wakeup.Text(), "1");
}

}  // namespace
}  // namespace varnix
