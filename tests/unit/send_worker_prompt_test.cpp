// The prompt-driven dialogue in virtual time: each step goes on the moment
// the modem's answer is complete, every failure has its reason, and no
// stray line gives a false "1" or "0".
#include "gateway/SendWorker.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/PromptBench.h"
#include "sms/SubmitParts.h"

namespace varnix {
namespace {

using namespace varnix::testing;
using Chunks = std::vector<PromptModem::Chunk>;

const std::string kNumber = "12345678901";
const std::string kCmgf = "at+cmgf=0\r";
const std::string kEsc = "\x1b";

std::vector<SubmitPdu> PartsOf(const std::string& text, int parts, int alphabet,
                               std::uint8_t reference) {
  Utf8Codec utf8;
  return BuildSubmitParts(kNumber, utf8.ToUtf16(text),
                          {.parts = parts, .alphabet = alphabet, .reference = reference});
}
std::string Cmgs(const SubmitPdu& p) { return "at+cmgs=" + std::to_string(p.cmgsLength) + "\r"; }
std::string Pdu(const SubmitPdu& p) { return p.pdu + "\x1a"; }
bool IsPdu(const std::string& s) { return !s.empty() && s.back() == '\x1a'; }

TEST(SendWorkerPrompt, ExactBytesAndMomentsOfAThreePartMessage) {
  PromptBench b(3, 1);
  const std::string text(400, 'a');  // 7-bit: 153 + 153 + 94 septets
  b.worker.ProcessMessage(b.Entry(kNumber + "," + text));

  const std::vector<SubmitPdu> pdus = PartsOf(text, 3, 1, 0);
  ASSERT_EQ(pdus.size(), 3u);
  // OK after 20 ms, the prompt after 50, "+CMGS" after 1500: each write
  // goes out the moment the answer before it is complete.
  const std::vector<Event> expected = {
      {0, "send:" + kCmgf},
      {20, "send:" + Cmgs(pdus[0])},
      {70, "send:" + Pdu(pdus[0])},
      {1570, "send:" + Cmgs(pdus[1])},
      {1620, "send:" + Pdu(pdus[1])},
      {3120, "send:" + Cmgs(pdus[2])},
      {3170, "send:" + Pdu(pdus[2])},
      {4670, "post:1"},
  };
  EXPECT_EQ(b.log, expected);  // and no fixed pause of the worker's clock
  ASSERT_EQ(b.outcomes.size(), 1u);
  EXPECT_TRUE(b.outcomes[0].sent);
  EXPECT_EQ(b.outcomes[0].references, (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(b.outcomes[0].parts, 3);
  EXPECT_EQ(b.modem.purged, 0u);
}

struct Case {
  std::string name;
  int parts = 0;
  std::string text = "abc";
  // Changes the modem's answers (and may schedule lines of its own).
  std::function<void(PromptBench&)> arm;
  bool sent;
  std::string why;
  std::vector<int> references;
  int failedPart;
  bool pduWentOut;
  std::vector<std::string> sends;  // "cmgf", "cmgs<n>", "pdu<n>", "esc"
  long postAt;
};

// The writes a case names ("cmgf", "cmgs<n>", "pdu<n>", "esc"), as bytes.
std::vector<std::string> NamedSends(const Case& c) {
  const std::vector<SubmitPdu> pdus = PartsOf(c.text, c.parts, 0, 0);
  std::vector<std::string> want;
  for (const std::string& s : c.sends) {
    if (s == "cmgf") want.push_back(kCmgf);
    if (s == "esc") want.push_back(kEsc);
    if (s.rfind("cmgs", 0) == 0) want.push_back(Cmgs(pdus.at(std::stoul(s.substr(4)) - 1)));
    if (s.rfind("pdu", 0) == 0) want.push_back(Pdu(pdus.at(std::stoul(s.substr(3)) - 1)));
  }
  return want;
}

// The worker's posts, each with its moment.
std::vector<Event> Posts(const PromptBench& b) {
  std::vector<Event> posts;
  for (const Event& e : b.log)
    if (e.what.rfind("post:", 0) == 0) posts.push_back(e);
  return posts;
}

// Replaces the answer to every write that `match` accepts.
std::function<void(PromptBench&)> Answer(std::function<bool(const std::string&)> match,
                                         Chunks answer) {
  return [match, answer](PromptBench& b) {
    auto previous = b.modem.edit;
    b.modem.edit = [match, answer, previous](const std::string& s, int i, Chunks& a) {
      if (previous) previous(s, i, a);
      if (match(s)) a = answer;
    };
  };
}
bool IsCmgf(const std::string& s) { return s == kCmgf; }
bool IsCmgs(const std::string& s) { return s.rfind("at+cmgs=", 0) == 0; }
// The n-th write of a kind (from 1), counted by the modem as it goes.
std::function<bool(const std::string&)> Nth(std::function<bool(const std::string&)> kind, int n) {
  auto seen = std::make_shared<int>(0);
  return [kind, n, seen](const std::string& s) { return kind(s) && ++*seen == n; };
}

TEST(SendWorkerPrompt, EachAnswerGivesItsOutcomeAndExactlyOneStatus) {
  const std::string twoParts(71, 'a');  // UCS-2: 67 + 4
  const std::string threeParts(140, 'a');
  const std::vector<Case> cases = {
      {"sent", 0, "abc", nullptr, true, "", {1}, 0, true, {"cmgf", "cmgs1", "pdu1"}, 1570},
      {"an error at the prompt", 0, "abc",
       Answer(IsCmgs, {{30, "\r\n+CMS ERROR: 305\r\n"}}), false, "+CMS ERROR: 305", {}, 1, false,
       {"cmgf", "cmgs1"}, 50},
      {"no prompt: ESC, no PDU", 0, "abc", Answer(IsCmgs, {}), false, "no prompt", {}, 1, false,
       {"cmgf", "cmgs1", "esc"}, 5020},
      {"OK instead of the prompt", 0, "abc", Answer(IsCmgs, {{10, "\r\nOK\r\n"}}), false,
       "no prompt", {}, 1, false, {"cmgf", "cmgs1"}, 30},
      {"an error after the PDU", 0, "abc", Answer(IsPdu, {{800, "\r\n+CMS ERROR: 500\r\n"}}),
       false, "+CMS ERROR: 500", {}, 1, true, {"cmgf", "cmgs1", "pdu1"}, 870},
      {"a plain error after the PDU", 0, "abc", Answer(IsPdu, {{5, "\r\nERROR\r\n"}}), false,
       "ERROR", {}, 1, true, {"cmgf", "cmgs1", "pdu1"}, 75},
      {"silence after the PDU: 60 s, no second attempt", 0, "abc", Answer(IsPdu, {}), false,
       "no answer", {}, 1, true, {"cmgf", "cmgs1", "pdu1"}, 60070},
      {"OK without a message reference", 0, "abc", Answer(IsPdu, {{100, "\r\nOK\r\n"}}), false,
       "no message reference", {}, 1, true, {"cmgf", "cmgs1", "pdu1"}, 170},
      {"an error to at+cmgf=0", 0, "abc", Answer(IsCmgf, {{15, "\r\nERROR\r\n"}}), false,
       "ERROR", {}, 0, false, {"cmgf"}, 15},
      {"a CME error to at+cmgf=0", 0, "abc", Answer(IsCmgf, {{15, "\r\n+CME ERROR: 3\r\n"}}),
       false, "+CME ERROR: 3", {}, 0, false, {"cmgf"}, 15},
      // As from a modem still waiting for a PDU: ESC ends that wait.
      {"silence to at+cmgf=0: ESC", 0, "abc", Answer(IsCmgf, {}), false, "no answer", {}, 0,
       false, {"cmgf", "esc"}, 5000},
      {"a refused number", 0, "abc",
       [](PromptBench&) {}, false, "refused number", {}, 0, false, {}, 0},
      {"two parts", 2, twoParts, nullptr, true, "", {1, 2}, 0, true,
       {"cmgf", "cmgs1", "pdu1", "cmgs2", "pdu2"}, 3120},
      {"part 2 of 3: an error at the prompt", 3, threeParts,
       Answer(Nth(IsCmgs, 2), {{30, "\r\n+CMS ERROR: 304\r\n"}}), false,
       "part 2: +CMS ERROR: 304", {1}, 2, false, {"cmgf", "cmgs1", "pdu1", "cmgs2"}, 1600},
      {"part 2 of 3: no prompt", 3, threeParts, Answer(Nth(IsCmgs, 2), {}), false,
       "part 2: no prompt", {1}, 2, false, {"cmgf", "cmgs1", "pdu1", "cmgs2", "esc"}, 6570},
      {"part 2 of 3: an error after the PDU", 3, threeParts,
       Answer(Nth(IsPdu, 2), {{400, "\r\n+CMS ERROR: 500\r\n"}}), false,
       "part 2: +CMS ERROR: 500", {1}, 2, true, {"cmgf", "cmgs1", "pdu1", "cmgs2", "pdu2"}, 2020},
      {"part 2 of 2: silence after the PDU", 2, twoParts, Answer(Nth(IsPdu, 2), {}), false,
       "part 2: no answer", {1}, 2, true, {"cmgf", "cmgs1", "pdu1", "cmgs2", "pdu2"}, 61620},
      {"a PDU write that fails: ESC, may be tried again", 0, "abc",
       [](PromptBench& b) { b.modem.failPduWrites = true; }, false, "write failed", {}, 1, false,
       {"cmgf", "cmgs1", "pdu1", "esc"}, 70},
      {"an error line with a tab", 0, "abc",
       Answer(IsPdu, {{5, "\r\n+CMS ERROR:\t500\r\n"}}), false, "+CMS ERROR: 500", {}, 1, true,
       {"cmgf", "cmgs1", "pdu1"}, 75},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PromptBench b(c.parts);
    if (c.arm) c.arm(b);
    const std::string number = c.name == "a refused number" ? "12x3" : kNumber;
    b.state.sendQueue.Append(b.Entry(number + "," + c.text));
    b.worker.Execute();

    EXPECT_EQ(b.Sends(), NamedSends(c));
    // One Status per message, at the moment its verdict was complete, and
    // nothing of the worker's own fixed pauses.
    EXPECT_EQ(Posts(b), (std::vector<Event>{{c.postAt, c.sent ? "post:1" : "post:0"}}));
    EXPECT_TRUE(b.Kinds("sleep:").empty());

    ASSERT_EQ(b.outcomes.size(), 1u);
    const MessageOutcome& o = b.outcomes[0];
    EXPECT_EQ(o.sent, c.sent);
    EXPECT_EQ(o.why, c.why);
    EXPECT_EQ(o.references, c.references);
    EXPECT_EQ(o.failedPart, c.failedPart);
    EXPECT_EQ(o.pduWentOut, c.pduWentOut);
  }
}

TEST(SendWorkerPrompt, PiecesUnsolicitedLinesEchoAndStaleAnswersGiveNoFalseVerdict) {
  const std::vector<Case> cases = {
      {"the prompt and the result in pieces", 0, "abc",
       [](PromptBench& b) {
         Answer(IsCmgs, {{10, "\r\n>"}, {40, " "}})(b);
         Answer(IsPdu, {{100, "\r\n+CM"}, {300, "GS: 7"}, {700, "7\r\n\r\nO"}, {1200, "K\r\n"}})(
             b);
       },
       true, "", {77}, 0, true, {"cmgf", "cmgs1", "pdu1"}, 1260},
      {"RING and +CMTI in the middle", 0, "abc",
       [](PromptBench& b) {
         b.modem.At(10, "\r\nRING\r\n");
         Answer(IsCmgs, {{10, "\r\nRING\r\n"}, {30, "\r\n^RSSI: 12\r\n\r\n+CREG: 1\r\n"},
                         {50, "\r\n> "}})(b);
         Answer(IsPdu, {{500, "\r\n+CMGS: 5\r\n"},
                        {600, "\r\n+CMTI: \"SM\",3\r\n"},
                        {700, "\r\nOK\r\n"}})(b);
       },
       true, "", {5}, 0, true, {"cmgf", "cmgs1", "pdu1"}, 770},
      {"+CMTI where the error would be", 0, "abc",
       [](PromptBench& b) {
         Answer(IsPdu, {{500, "\r\n+CMTI: \"SM\",3\r\n"}, {600, "\r\n+CMS ERROR: 500\r\n"}})(b);
       },
       false, "+CMS ERROR: 500", {}, 1, true, {"cmgf", "cmgs1", "pdu1"}, 670},
      {"an echoing modem", 2, std::string(71, 'a'),
       [](PromptBench& b) { b.modem.echo = true; }, true, "", {1, 2}, 0, true,
       {"cmgf", "cmgs1", "pdu1", "cmgs2", "pdu2"}, 3120},
      {"an echoing modem refusing the PDU", 0, "abc",
       [](PromptBench& b) {
         b.modem.echo = true;
         Answer(IsPdu, {{0, Pdu(PartsOf("abc", 0, 0, 0)[0])}, {50, "\r\n+CMS ERROR: 38\r\n"}})(b);
       },
       false, "+CMS ERROR: 38", {}, 1, true, {"cmgf", "cmgs1", "pdu1"}, 120},
      {"a stale ERROR and RING waiting before the message", 0, "abc",
       [](PromptBench& b) { b.modem.At(0, "\r\nERROR\r\n\r\nRING\r\n\r\n> "); }, true, "", {1}, 0,
       true, {"cmgf", "cmgs1", "pdu1"}, 1570},
      {"a stale +CMGS answer waiting before the message", 0, "abc",
       [](PromptBench& b) { b.modem.At(0, "\r\n+CMGS: 99\r\n\r\nOK\r\n"); },
       true, "", {1}, 0, true, {"cmgf", "cmgs1", "pdu1"}, 1570},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PromptBench b(c.parts);
    if (c.arm) c.arm(b);
    b.state.sendQueue.Append(b.Entry(kNumber + "," + c.text));
    b.worker.Execute();

    EXPECT_EQ(b.Sends(), NamedSends(c));
    EXPECT_EQ(Posts(b), (std::vector<Event>{{c.postAt, c.sent ? "post:1" : "post:0"}}));
    ASSERT_EQ(b.outcomes.size(), 1u);
    EXPECT_EQ(b.outcomes[0].sent, c.sent);
    EXPECT_EQ(b.outcomes[0].why, c.why);
    EXPECT_EQ(b.outcomes[0].references, c.references);
    // The port purges its input before each write: the reader has taken in
    // everything that waited by then, so nothing of an answer is lost.
    EXPECT_EQ(b.modem.purged, 0u);
  }
}

TEST(SendWorkerPrompt, SilenceAfterThePduIsNeverFollowedByASecondAttempt) {
  PromptBench b;
  Answer(Nth(IsPdu, 1), {})(b);
  b.state.sendQueue.Append(b.Entry(kNumber + ",first"));
  b.state.sendQueue.Append(b.Entry(kNumber + ",second"));
  b.worker.Execute();
  const std::vector<SubmitPdu> first = PartsOf("first", 0, 0, 0);
  const std::vector<SubmitPdu> second = PartsOf("second", 0, 0, 0);
  EXPECT_EQ(b.Sends(), (std::vector<std::string>{kCmgf, Cmgs(first[0]), Pdu(first[0]), kCmgf,
                                                 Cmgs(second[0]), Pdu(second[0])}));
  EXPECT_EQ(b.Kinds("post:"), (std::vector<std::string>{"post:0", "post:1"}));
  ASSERT_EQ(b.outcomes.size(), 2u);
  EXPECT_EQ(b.outcomes[0].why, "no answer");
  EXPECT_TRUE(b.outcomes[0].pduWentOut);
  EXPECT_TRUE(b.outcomes[1].sent);
}

TEST(SendWorkerPrompt, TheReferenceGoesUpPerLongMessageAndWrapsAtOneOctet) {
  PromptBench b(2);
  b.modem.modeAfter = b.modem.promptAfter = b.modem.resultAfter = 0;
  const std::string longText(71, 'a');
  std::vector<int> references;  // of each long message's parts
  b.modem.edit = [&](const std::string& s, int, Chunks&) {
    if (!IsPdu(s)) return;
    const std::size_t at = s.find("050003");  // the concatenation header
    if (at != std::string::npos) references.push_back(std::stoi(s.substr(at + 6, 2), nullptr, 16));
  };
  for (int i = 0; i < 257; ++i) {
    b.worker.ProcessMessage(b.Entry(kNumber + "," + longText));
    if (i == 0) b.worker.ProcessMessage(b.Entry(kNumber + ",short"));  // uses up no reference
  }
  ASSERT_EQ(references.size(), 2u * 257);
  for (int i = 0; i < 257; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(references[2 * i], i % 256);
    EXPECT_EQ(references[2 * i + 1], i % 256);  // the same in both parts
  }
}

TEST(SendWorkerPrompt, DialogueIsTakenWhenTheWorkerIsSetUp) {
  PromptBench b;
  b.ext.Dialogue = 0;  // a change after the start applies at the next one
  b.worker.ProcessMessage(b.Entry(kNumber + ",abc"));
  EXPECT_EQ(b.Sends().front(), kCmgf);
  EXPECT_TRUE(b.Kinds("sleep:").empty());
  EXPECT_EQ(b.Kinds("post:"), std::vector<std::string>{"post:1"});

  // Set up again with Dialogue 0: the classic dialogue with its pauses.
  b.log.clear();
  b.worker.SetExtensions(b.ext);
  b.modem.edit = [](const std::string& s, int, Chunks& a) {
    if (IsPdu(s)) a = {{0, "\r\n+CMGS: 3\r\n\r\nOK\r\n"}};
  };
  b.worker.ProcessMessage(b.Entry(kNumber + ",abc"));
  EXPECT_EQ(b.Kinds("sleep:"), (std::vector<std::string>{"sleep:1000", "sleep:1000",
                                                          "sleep:2000"}));
}

TEST(SendWorkerPrompt, TheWorkersOwnTimePerPartIsTheReadersPollingOnly) {
  // Reply times that are no multiple of the 5 ms polling interval, so every
  // wait pays the most the polling can cost.
  PromptBench b(5);
  b.modem.modeAfter = 23;
  b.modem.promptAfter = 51;
  b.modem.resultAfter = 1501;
  const std::string text(5 * 67, 'a');
  b.worker.ProcessMessage(b.Entry(kNumber + "," + text));
  ASSERT_EQ(b.outcomes.size(), 1u);
  ASSERT_TRUE(b.outcomes[0].sent);
  ASSERT_EQ(b.outcomes[0].parts, 5);

  // From each at+cmgs to the next (or to the post): the modem's 51 + 1501 ms
  // and what the worker adds.
  std::vector<long> starts;
  for (const Event& e : b.log)
    if (e.what.rfind("send:at+cmgs=", 0) == 0 || e.what.rfind("post:", 0) == 0)
      starts.push_back(e.at);
  ASSERT_EQ(starts.size(), 6u);
  for (std::size_t i = 0; i + 1 < starts.size(); ++i) {
    SCOPED_TRACE(i);
    const long own = starts[i + 1] - starts[i] - (51 + 1501);
    // Two waits, each seeing its answer within one polling interval.
    EXPECT_GE(own, 0);
    EXPECT_LT(own, 2 * 5);
    EXPECT_LE(own, 20);
  }
  EXPECT_TRUE(b.Kinds("sleep:").empty());
}

}  // namespace
}  // namespace varnix
