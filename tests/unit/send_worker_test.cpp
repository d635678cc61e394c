// The modem dialogue in virtual time: exact bytes, pauses and reads.
#include "gateway/SendWorker.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/WorkerBench.h"
#include "dde/SendRule.h"

namespace varnix {
namespace {

using namespace varnix::testing;
using std::chrono::milliseconds;

TEST(SendWorker, ExactDialogueForASuccessAtTheFirstRead) {
  Bench b;
  b.modem.reply = {{0, kCompleteReply}};
  b.worker.ProcessMessage(b.Entry("12345678901,abc"));
  const std::vector<Event> expected = {
      {0, "send:at+cmgf=0\r"},
      {0, "sleep:1000"},
      {1000, "send:at+cmgs=20\r"},
      {1000, "sleep:1000"},
      {2000, "send:" + kPdu + "\x1a"},
      {2000, "sleep:2000"},
      {4000, "read:10"},
      {4000, "read:9"},
      {4000, "post:1"},
  };
  EXPECT_EQ(b.log, expected);
}

TEST(SendWorker, OutcomeAndDurationForEachReplyShape) {
  struct Case {
    std::string name;
    std::vector<ScriptedModem::Chunk> reply;
    std::string status;
    long duration;  // with Delay 2000
    int reads;
  };
  std::vector<Case> cases = {
      {"complete at once", {{0, kCompleteReply}}, "1", 4000, 1},
      {"error report", {{0, "\r\n+CMS ERROR: 500\r\n"}}, "0", 5000, 1},
      {"CME error", {{0, "\r\n+CME ERROR: 10\r\n"}}, "0", 5000, 1},
      {"silence", {}, "0", 16000, 11},
      {"garbage only", {{0, "xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx"}}, "0", 16000, 11},
      {"a flood", {{0, std::string(1 << 16, 'z')}}, "0", 16000, 11},
      // The reply starts only after Delay: the first pass finds nothing.
      {"complete reply one second late", {{2999, kCompleteReply}}, "1", 5000, 2},
      // Offsets count from the Ctrl-Z; the first read comes Delay (2000) later.
      // Only "\r\n+C" has arrived at the first read; the rest half a second later.
      {"split reply", {{0, "\r\n+C"}, {2500, "MGS: 7\r\n\r\nOK\r\n"}}, "1", 5000, 2},
      {"reply trickled one byte every 300 ms",
       {{2000, "\r"}, {2300, "\n"}, {2600, "+"}, {2900, "C"}, {3200, "M"}, {3500, "G"}, {3800, "S"}},
       "1", 6000, 3},
      {"CMGS after the read window", {{12500, kCompleteReply}}, "0", 16000, 11},
  };
  for (int k = 1; k <= 10; ++k)
    cases.push_back({"after " + std::to_string(k) + " empty reads",
                     {{2000 + k * 1000 - 1, kCompleteReply}}, "1", 4000 + k * 1000, k + 1});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bench b;
    b.modem.reply = c.reply;
    b.worker.ProcessMessage(b.Entry("12345678901,abc"));
    EXPECT_EQ(b.state.statusText.Get(), c.status);
    EXPECT_EQ(b.PostTime(), c.duration);
    EXPECT_EQ(b.ReadPasses(), c.reads);
    EXPECT_EQ(b.Kinds("post:"), std::vector<std::string>{"post:" + c.status});
  }
}

TEST(SendWorker, UnsafeNumbersNeverReachTheModem) {
  const std::vector<std::string> entries = {",abc", "123\x1a" "45,abc", "+,x", "1 2,x", "abc",
                                            std::string(21, '1') + ",x",
                                            // Num "123,4", SMS "hi", as queued.
                                            QueueEntry("123,4", "hi")};
  for (const std::string& entry : entries) {
    SCOPED_TRACE(entry);
    Bench b;
    b.modem.reply = {{0, kCompleteReply}};
    b.worker.ProcessMessage(b.Entry(entry));
    EXPECT_TRUE(b.Kinds("send:").empty());
    EXPECT_TRUE(b.Kinds("sleep:").empty());
    EXPECT_EQ(b.Kinds("post:"), std::vector<std::string>{"post:0"});
  }
}

TEST(SendWorker, LoopSendsInOrderWithoutPauseBetweenMessages) {
  Bench b;
  b.modem.reply = {{0, kCompleteReply}};
  b.state.sendQueue.Append(b.Entry("11111111111,a"));
  b.state.sendQueue.Append(b.Entry("22222222222,b"));
  // Appended while the first message is under way: waits behind it.
  bool added = false;
  b.modem.onSend = [&](const std::string&) {
    if (!added) added = b.state.sendQueue.Append(b.Entry("33333333333,c"));
  };
  b.worker.Execute();

  std::vector<std::string> cmgf;
  for (const Event& e : b.log)
    if (e.what.find("\x1a") != std::string::npos) cmgf.push_back(e.what.substr(5, 22));
  EXPECT_EQ(cmgf, (std::vector<std::string>{"0011000BC11111111111F1", "0011000BC12222222222F2",
                                            "0011000BC13333333333F3"}));
  // The next message starts at the very moment the previous one was posted.
  for (std::size_t i = 0; i + 1 < b.log.size(); ++i) {
    if (b.log[i].what.rfind("post:", 0) == 0 && b.log[i + 1].what.rfind("send:", 0) == 0) {
      EXPECT_EQ(b.log[i + 1].at, b.log[i].at);
      EXPECT_EQ(b.log[i + 1].what, "send:at+cmgf=0\r");
    }
  }
  EXPECT_EQ(b.Kinds("post:").size(), 3u);
  EXPECT_EQ(b.Kinds("idle:"), std::vector<std::string>{"idle:2000"});
}

TEST(SendWorker, StopDuringAMessageLetsItFinishAndDropsTheRest) {
  Bench b;
  b.modem.reply = {{0, kCompleteReply}};
  b.state.sendQueue.Append(b.Entry("11111111111,a"));
  b.state.sendQueue.Append(b.Entry("22222222222,b"));
  b.modem.onSend = [&](const std::string& s) {
    if (s.rfind("at+cmgs", 0) == 0) b.state.RequestStop();
  };
  b.worker.Execute();
  EXPECT_EQ(b.Kinds("post:"), std::vector<std::string>{"post:1"});
  EXPECT_EQ(b.Kinds("send:").size(), 3u);
  EXPECT_EQ(b.state.sendQueue.Count(), 1u);
}

TEST(SendWorker, LoopEndsAtOnceWithoutPort) {
  Bench b;
  b.state.portHandle = kNoPort;
  b.state.sendQueue.Append(b.Entry("11111111111,a"));
  b.worker.Execute();
  EXPECT_TRUE(b.log.empty());
}

TEST(SendWorker, DelayIsReadAtEveryPauseAndNegativeCountsAsZero) {
  Bench b;
  b.modem.reply = {{0, kCompleteReply}};
  b.modem.onSend = [&](const std::string& s) {
    if (s.rfind("at+cmgs", 0) == 0) b.delay = 500;
  };
  b.state.sendQueue.Append(b.Entry("11111111111,a"));
  b.worker.Execute();
  EXPECT_EQ(b.Kinds("sleep:"), (std::vector<std::string>{"sleep:1000", "sleep:1000", "sleep:500"}));
  EXPECT_EQ(b.Kinds("idle:"), std::vector<std::string>{"idle:500"});

  Bench n;
  n.delay = -5;
  n.modem.reply = {{0, kCompleteReply}};
  n.state.sendQueue.Append(n.Entry("11111111111,a"));
  n.worker.Execute();
  EXPECT_EQ(n.Kinds("sleep:"), (std::vector<std::string>{"sleep:1000", "sleep:1000", "sleep:0"}));
  EXPECT_EQ(n.Kinds("idle:"), std::vector<std::string>{"idle:0"});
}

TEST(SendWorker, StatusFollowsEachOutcome) {
  Bench b;
  std::vector<std::string> replies = {kCompleteReply, "\r\nERROR\r\n", kCompleteReply,
                                      kCompleteReply};
  std::size_t next = 1;
  b.modem.onSend = [&](const std::string& s) {
    if (s.back() == '\x1a' && next < replies.size()) b.modem.reply = {{0, replies[next++]}};
  };
  // The reply of a send is scheduled from the script in force at that send,
  // so set the first one before it goes out.
  b.modem.reply = {{0, replies[0]}};
  for (int i = 0; i < 4; ++i) b.state.sendQueue.Append(b.Entry("12345678901,x"));
  b.worker.Execute();
  EXPECT_EQ(b.Kinds("post:"),
            (std::vector<std::string>{"post:1", "post:0", "post:1", "post:1"}));
}

TEST(SendWorker, CommaSplit) {
  const struct {
    std::string entry, number, text;
  } cases[] = {
      {"12345678901,a,b", "12345678901", "a,b"},
      {"123,4,hi", "123", "4,hi"},
      {"nocomma", "", "nocomma"},
      {",", "", ""},
      {"1,", "1", ""},
  };
  const Utf8Codec codec;
  for (const auto& c : cases) {
    const QueuedMessage m = Decoded(c.entry, codec);
    EXPECT_EQ(m.number, c.number) << c.entry;
    EXPECT_EQ(m.text, codec.ToUtf16(c.text)) << c.entry;
  }
  // Without a codec the text is lost, the number not.
  const QueuedMessage none = Decode(ClientMessage{0, "1,x", false, {}}, nullptr);
  EXPECT_TRUE(none.textLost && none.number == "1");
}

TEST(SendWorker, JudgeReply) {
  const std::pair<std::string, ReplyVerdict> cases[] = {
      {"", ReplyVerdict::kPending},
      {"\r\n+C", ReplyVerdict::kPending},
      {"\r\n+CMGS: 1", ReplyVerdict::kSent},
      {"+cmgs: 1", ReplyVerdict::kPending},  // case matters
      {"\r\nERROR\r\n", ReplyVerdict::kFailed},
      {"\r\n+CMS ERROR: 500", ReplyVerdict::kFailed},
      {std::string("\0\0+CMGS", 7), ReplyVerdict::kSent},
  };
  for (const auto& [reply, verdict] : cases) EXPECT_EQ(JudgeReply(reply), verdict) << reply;
}

}  // namespace
}  // namespace varnix
