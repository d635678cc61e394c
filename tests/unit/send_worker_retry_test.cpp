// Retries in virtual time: which failures come back, after which waits,
// what goes ahead meanwhile, and what a client is told.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/PromptBench.h"
#include "support/WorkerBench.h"
#include "dde/ResultItems.h"

namespace varnix {
namespace {

using testing::Bench;
using testing::Event;
using testing::PromptBench;

// Runs until the queue is empty and no retry waits.
template <typename B>
void RunToTheEnd(B& bench) {
  bench.clock.onIdle = [&bench] {
    if (bench.state.sendQueue.Count() == 0 && bench.worker.RetriesWaiting() == 0)
      bench.state.stopRequested = true;
  };
  bench.worker.Execute();
}

template <typename B>
MessageId Accept(B& bench, const std::string& entry) {
  ClientMessage message;
  message.entry = entry;
  return *AcceptMessage(bench.state, std::move(message));
}

std::vector<std::string> Lines(GatewayState& state) {
  std::vector<std::string> out;
  for (const StateChange& c : state.results.TakeAll()) out.push_back(ResultLine(c));
  return out;
}

// The virtual times at which each PDU went out.
std::vector<long> PduTimes(const std::vector<Event>& log) {
  std::vector<long> out;
  for (const Event& e : log)
    if (e.what.rfind("send:", 0) == 0 && e.what.back() == '\x1a') out.push_back(e.at);
  return out;
}

TEST(SendWorkerRetry, ATemporaryErrorIsTriedAgainWhileLaterMessagesGoAhead) {
  PromptBench bench;
  bench.ext.Retries = 3;
  // The first PDU is refused for a while; everything after it goes through
  // (the modem numbers every PDU, the refused one too).
  int pdus = 0;
  bench.modem.edit = [&](const std::string& sent, int, std::vector<testing::PromptModem::Chunk>& a) {
    if (!sent.empty() && sent.back() == '\x1a' && pdus++ == 0) a = {{100, "\r\n+CMS ERROR: 332\r\n"}};
  };
  Accept(bench, "13800138000,first");
  Accept(bench, "13900139000,second");
  RunToTheEnd(bench);

  EXPECT_EQ(Lines(bench.state),
            (std::vector<std::string>{"1\tqueued\t", "2\tqueued\t", "1\tretry\t10 +CMS ERROR: 332",
                                      "2\tsent\t2", "1\tsent\t3"}));
  // Status once per message, for its final outcome only.
  EXPECT_EQ(bench.Kinds("post:"), (std::vector<std::string>{"post:1", "post:1"}));
  // The second message went out during the wait; the first came back 10 s
  // after its failure.
  const std::vector<long> at = PduTimes(bench.log);
  ASSERT_EQ(at.size(), 3u);
  EXPECT_LT(at[1], at[0] + 10000);
  EXPECT_GE(at[2], at[0] + 100 + 10000);
  EXPECT_LE(at[2], at[0] + 100 + 10000 + 2100);
}

TEST(SendWorkerRetry, WhatMightHaveBeenDeliveredIsNeverSentAgain) {
  struct Case {
    const char* answer;  // to every PDU; "" withholds the prompt
    int retries;
    std::vector<std::string> lines;
    std::size_t pdus;
  } cases[] = {
      {"\r\n+CMS ERROR: 500\r\n", 3, {"1\tqueued\t", "1\tfailed\t+CMS ERROR: 500"}, 1},
      {"\r\nERROR\r\n", 3, {"1\tqueued\t", "1\tfailed\tERROR"}, 1},
      // The limit: one retry, then the failure stands.
      {"\r\n+CMS ERROR: 515\r\n", 1,
       {"1\tqueued\t", "1\tretry\t10 +CMS ERROR: 515", "1\tfailed\t+CMS ERROR: 515"}, 2},
      // Without Retries nothing is retried, whatever the error.
      {"\r\n+CMS ERROR: 332\r\n", 0, {"1\tqueued\t", "1\tfailed\t+CMS ERROR: 332"}, 1},
  };
  for (const Case& c : cases) {
    PromptBench bench;
    bench.ext.Retries = c.retries;
    const std::string answer = c.answer;
    bench.modem.edit = [&](const std::string& sent, int, std::vector<testing::PromptModem::Chunk>& a) {
      if (!sent.empty() && sent.back() == '\x1a') a = {{100, answer}};
    };
    Accept(bench, "13800138000,x");
    RunToTheEnd(bench);
    EXPECT_EQ(Lines(bench.state), c.lines) << c.answer;
    EXPECT_EQ(PduTimes(bench.log).size(), c.pdus) << c.answer;
    EXPECT_EQ(bench.Kinds("post:"), (std::vector<std::string>{"post:0"})) << c.answer;
  }
}

TEST(SendWorkerRetry, NoPromptIsRetriedWithTheGrowingWaitsAndOnlyTheMissingPart) {
  PromptBench bench(/*parts=*/3);
  bench.ext.Retries = 3;
  // The second part's prompt never comes on the first two tries.
  int cmgs = 0;
  bench.modem.edit = [&](const std::string& sent, int, std::vector<testing::PromptModem::Chunk>& a) {
    if (sent.rfind("at+cmgs=", 0) == 0 && ++cmgs >= 2 && cmgs <= 3) a.clear();
  };
  Accept(bench, "13800138000," + std::string(150, 'a'));
  RunToTheEnd(bench);
  const std::vector<std::string> lines = Lines(bench.state);
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[1], "1\tretry\t10 part 2: no prompt");
  EXPECT_EQ(lines[2], "1\tretry\t60 part 2: no prompt");
  EXPECT_EQ(lines[3], "1\tsent\t1 2 3");
  // Three PDUs in all: part 1 was not sent again, and each retry resent
  // the same second part the first attempt had cut.
  const std::vector<std::string> sends = bench.Sends();
  std::vector<std::string> pdus;
  for (const std::string& s : sends)
    if (!s.empty() && s.back() == '\x1a') pdus.push_back(s);
  ASSERT_EQ(pdus.size(), 3u);
  EXPECT_NE(pdus[0], pdus[1]);
  EXPECT_NE(pdus[1], pdus[2]);
  EXPECT_EQ(bench.Kinds("post:"), (std::vector<std::string>{"post:1"}));
}

TEST(SendWorkerRetry, TheClassicDialogueRetriesATemporaryErrorWithTheSamePdu) {
  Bench bench;
  ExtSettings ext;
  ext.Retries = 2;
  bench.worker.SetExtensions(ext);
  bench.modem.reply = {{0, "\r\n+CMS ERROR: 331\r\n"}};
  bench.modem.onSend = [&](const std::string& s) {
    if (!s.empty() && s.back() == '\x1a') bench.modem.reply = {{0, testing::kCompleteReply}};
  };
  Accept(bench, "13800138000,abc");
  RunToTheEnd(bench);
  EXPECT_EQ(Lines(bench.state), (std::vector<std::string>{"1\tqueued\t",
                                                          "1\tretry\t10 +CMS ERROR: 331",
                                                          "1\tsent\t12"}));
  std::vector<std::string> pdus;
  for (const std::string& s : bench.Kinds("send:"))
    if (s.back() == '\x1a') pdus.push_back(s);
  ASSERT_EQ(pdus.size(), 2u);
  EXPECT_EQ(pdus[0], pdus[1]);
  EXPECT_EQ(bench.Kinds("post:"), (std::vector<std::string>{"post:1"}));
}

TEST(SendWorkerRetry, AStopClosesWhatWaitsForARetryWithoutAStatus) {
  PromptBench bench;
  bench.ext.Retries = 3;
  bench.modem.edit = [](const std::string& sent, int, std::vector<testing::PromptModem::Chunk>& a) {
    if (!sent.empty() && sent.back() == '\x1a') a = {{100, "\r\n+CMS ERROR: 332\r\n"}};
  };
  int told = 0;
  bench.worker.SetOnResults([&] { ++told; });
  Accept(bench, "13800138000,x");
  // The first idle wait (the retry pending) is where the program closes.
  bench.clock.onIdle = [&] { bench.state.stopRequested = true; };
  bench.worker.Execute();
  EXPECT_EQ(Lines(bench.state), (std::vector<std::string>{"1\tqueued\t",
                                                          "1\tretry\t10 +CMS ERROR: 332",
                                                          "1\tfailed\tclosed"}));
  EXPECT_EQ(told, 2);
  EXPECT_TRUE(bench.Kinds("post:").empty());
  EXPECT_EQ(bench.worker.RetriesWaiting(), 0u);
}

}  // namespace
}  // namespace varnix
