// Messages in parts on the classic dialogue, in virtual time: every part
// runs the whole dialogue with its pauses, Status comes once per message,
// and each outcome says what happened.
#include "gateway/SendWorker.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/WorkerBench.h"
#include "settings/ExtSettings.h"
#include "sms/SubmitParts.h"

namespace varnix {
namespace {

using namespace varnix::testing;

const std::string kNumber = "12345678901";

struct PartsBench : Bench {
  ExtSettings ext;
  std::vector<MessageOutcome> outcomes;
  explicit PartsBench(int parts, int alphabet = 0) {
    ext.Parts = parts;
    ext.Alphabet = alphabet;
    worker.SetExtensions(ext);
    worker.SetOnOutcome([this](const MessageOutcome& o) { outcomes.push_back(o); });
    modem.reply = {{0, kCompleteReply}};
  }
};

std::vector<SubmitPdu> PartsOf(const std::string& text, int parts, int alphabet,
                               std::uint8_t reference) {
  Utf8Codec utf8;
  return BuildSubmitParts(kNumber, utf8.ToUtf16(text), {.parts = parts, .alphabet = alphabet,
                                                        .reference = reference});
}

// The classic dialogue of one part that is answered at the first read with
// kCompleteReply (19 bytes: two reads), starting at `t`.
void AppendClassicPart(std::vector<Event>& out, long t, const SubmitPdu& pdu) {
  out.push_back({t, "send:at+cmgf=0\r"});
  out.push_back({t, "sleep:1000"});
  out.push_back({t + 1000, "send:at+cmgs=" + std::to_string(pdu.cmgsLength) + "\r"});
  out.push_back({t + 1000, "sleep:1000"});
  out.push_back({t + 2000, "send:" + pdu.pdu + "\x1a"});
  out.push_back({t + 2000, "sleep:2000"});
  out.push_back({t + 4000, "read:10"});
  out.push_back({t + 4000, "read:9"});
}

TEST(SendWorkerParts, ATwoPartMessageRunsTheWholeClassicDialogueTwiceAndPostsOnce) {
  PartsBench b(2);
  const std::string text(71, 'a');  // 67 + 4 UCS-2 units
  b.worker.ProcessMessage(b.Entry(kNumber + "," + text));

  const std::vector<SubmitPdu> pdus = PartsOf(text, 2, 0, 0);
  ASSERT_EQ(pdus.size(), 2u);
  std::vector<Event> expected;
  AppendClassicPart(expected, 0, pdus[0]);
  AppendClassicPart(expected, 4000, pdus[1]);
  expected.push_back({8000, "post:1"});
  EXPECT_EQ(b.log, expected);

  ASSERT_EQ(b.outcomes.size(), 1u);
  EXPECT_TRUE(b.outcomes[0].sent);
  EXPECT_EQ(b.outcomes[0].parts, 2);
  EXPECT_EQ(b.outcomes[0].references, (std::vector<int>{12, 12}));
  EXPECT_EQ(b.outcomes[0].why, "");
  EXPECT_EQ(b.outcomes[0].failedPart, 0);
}

TEST(SendWorkerParts, ASecondPartThatFailsEndsTheMessageWithoutAThird) {
  PartsBench b(3);
  const std::string text(140, 'a');  // 67 + 67 + 6
  // The first PDU is answered as usual, every later one with ERROR.
  b.modem.onSend = [&b](const std::string& s) {
    if (!s.empty() && s.back() == '\x1a') b.modem.reply = {{0, "\r\nERROR\r\n"}};
  };
  b.state.sendQueue.Append(b.Entry(kNumber + "," + text));
  b.worker.Execute();

  const std::vector<SubmitPdu> pdus = PartsOf(text, 3, 0, 0);
  ASSERT_EQ(pdus.size(), 3u);
  std::vector<Event> expected;
  AppendClassicPart(expected, 0, pdus[0]);
  expected.push_back({4000, "send:at+cmgf=0\r"});
  expected.push_back({4000, "sleep:1000"});
  expected.push_back({5000, "send:at+cmgs=" + std::to_string(pdus[1].cmgsLength) + "\r"});
  expected.push_back({5000, "sleep:1000"});
  expected.push_back({6000, "send:" + pdus[1].pdu + "\x1a"});
  expected.push_back({6000, "sleep:2000"});
  expected.push_back({8000, "read:9"});
  expected.push_back({8000, "sleep:1000"});
  expected.push_back({9000, "post:0"});
  EXPECT_EQ(MessageEvents(b.log, 0), expected);
  EXPECT_EQ(b.Kinds("post:"), std::vector<std::string>{"post:0"});

  ASSERT_EQ(b.outcomes.size(), 1u);
  const MessageOutcome& o = b.outcomes[0];
  EXPECT_FALSE(o.sent);
  EXPECT_EQ(o.why, "part 2: ERROR");
  EXPECT_EQ(o.failedPart, 2);
  EXPECT_EQ(o.parts, 3);
  EXPECT_EQ(o.references, std::vector<int>{12});
  EXPECT_TRUE(o.pduWentOut);
}

TEST(SendWorkerParts, PartsAndAlphabetApplyAtTheNextMessageAndTheReferenceGoesUpPerLongMessage) {
  PartsBench b(0);
  const std::string longText(71, 'a');
  const struct {
    int parts, alphabet;
    std::string text;
    std::vector<SubmitPdu> pdus;  // what goes out
  } steps[] = {
      // Parts 0: one SMS, cut at 70 units exactly as the one-SMS encoder does.
      {0, 0, longText, {BuildSubmitPdu(kNumber, longText, Utf8Codec{})}},
      {2, 0, longText, PartsOf(longText, 2, 0, 0)},
      // A short message uses up no reference.
      {2, 0, "abc", PartsOf("abc", 2, 0, 0)},
      {2, 1, "abc", PartsOf("abc", 2, 1, 0)},
      {2, 1, longText, {PartsOf(longText, 2, 1, 0)}},  // 71 septets: one SMS in 7-bit
      {2, 0, longText, PartsOf(longText, 2, 0, 1)},
      {1, 1, std::string(200, 'b'), PartsOf(std::string(200, 'b'), 1, 1, 0)},
  };
  for (const auto& s : steps) {
    b.ext.Parts = s.parts;
    b.ext.Alphabet = s.alphabet;
    b.log.clear();
    b.worker.ProcessMessage(b.Entry(kNumber + "," + s.text));
    std::vector<std::string> pdusSent;
    for (const std::string& e : b.Kinds("send:"))
      if (e.back() == '\x1a') pdusSent.push_back(e.substr(5, e.size() - 6));
    std::vector<std::string> want;
    for (const SubmitPdu& p : s.pdus) want.push_back(p.pdu);
    SCOPED_TRACE(std::to_string(s.parts) + "/" + std::to_string(s.alphabet) + " " + s.text);
    EXPECT_EQ(pdusSent, want);
    EXPECT_EQ(b.Kinds("post:"), std::vector<std::string>{"post:1"});
  }
  EXPECT_NE(PartsOf(longText, 2, 0, 0)[0].pdu, PartsOf(longText, 2, 0, 1)[0].pdu);
  EXPECT_EQ(steps[4].pdus.size(), 1u);
  EXPECT_NE(steps[3].pdus[0].pdu, steps[2].pdus[0].pdu);  // DCS 00 against 08
}

TEST(SendWorkerParts, EachClassicOutcomeSaysWhy) {
  const struct {
    std::string name;
    std::string entry;
    std::vector<ScriptedModem::Chunk> reply;
    bool sent;
    std::string why;
    std::vector<int> references;
    int failedPart;
    bool pduWentOut;
  } cases[] = {
      {"sent", kNumber + ",abc", {{0, "\r\n+CMGS: 231\r\n\r\nOK\r\n"}}, true, "", {231}, 0, true},
      {"sent, reference cut short", kNumber + ",abc", {{0, "\r\n+CMGS: 2"}}, true, "", {-1}, 0,
       true},
      {"error report", kNumber + ",abc", {{0, "\r\n+CMS ERROR: 500\r\n"}}, false,
       "+CMS ERROR: 500", {}, 1, true},
      {"CME error", kNumber + ",abc", {{0, "\r\n+CME ERROR: 10\r\n"}}, false, "+CME ERROR: 10",
       {}, 1, true},
      {"plain error", kNumber + ",abc", {{0, "\r\nERROR\r\n"}}, false, "ERROR", {}, 1, true},
      {"error with a tab", kNumber + ",abc", {{0, "\r\n+CMS ERROR:\t38\r\n"}}, false,
       "+CMS ERROR: 38", {}, 1, true},
      {"silence", kNumber + ",abc", {}, false, "no answer", {}, 1, true},
      {"refused number", "12a,abc", {{0, kCompleteReply}}, false, "refused number", {}, 0,
       false},
      {"empty number", ",abc", {{0, kCompleteReply}}, false, "refused number", {}, 0, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    PartsBench b(0);
    b.modem.reply = c.reply;
    b.worker.ProcessMessage(b.Entry(c.entry));
    ASSERT_EQ(b.outcomes.size(), 1u);
    const MessageOutcome& o = b.outcomes[0];
    EXPECT_EQ(o.sent, c.sent);
    EXPECT_EQ(o.why, c.why);
    EXPECT_EQ(o.references, c.references);
    EXPECT_EQ(o.failedPart, c.failedPart);
    EXPECT_EQ(o.pduWentOut, c.pduWentOut);
    EXPECT_EQ(b.Kinds("post:"), std::vector<std::string>{c.sent ? "post:1" : "post:0"});
  }
}

TEST(SendWorkerParts, AnErrorInTheMiddleKeepsWhatTheOutcomeKnew) {
  // The codec fails before any PDU: nothing of it went out.
  PartsBench codec(0);
  codec.codec.failOn = "abc";
  codec.worker.ProcessMessage(codec.Entry(kNumber + ",abc"));
  ASSERT_EQ(codec.outcomes.size(), 1u);
  EXPECT_FALSE(codec.outcomes[0].sent);
  EXPECT_EQ(codec.outcomes[0].why, "internal error");
  EXPECT_FALSE(codec.outcomes[0].pduWentOut);

  // The port throws while reading the second part's reply: its PDU went
  // out, the first part's reference stays.
  PartsBench port(2);
  int pdus = 0;
  port.modem.onSend = [&](const std::string& s) {
    if (!s.empty() && s.back() == '\x1a' && ++pdus == 2)
      port.modem.onReceive = [] { throw std::runtime_error("port gone"); };
  };
  port.worker.ProcessMessage(port.Entry(kNumber + "," + std::string(71, 'a')));
  ASSERT_EQ(port.outcomes.size(), 1u);
  const MessageOutcome& o = port.outcomes[0];
  EXPECT_FALSE(o.sent);
  EXPECT_EQ(o.why, "part 2: internal error");
  EXPECT_EQ(o.failedPart, 2);
  EXPECT_TRUE(o.pduWentOut);
  EXPECT_EQ(o.references, std::vector<int>{12});
  EXPECT_EQ(port.Kinds("post:"), std::vector<std::string>{"post:0"});
}

}  // namespace
}  // namespace varnix
