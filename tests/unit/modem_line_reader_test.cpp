// The line reader against a scripted modem in virtual time: bytes become
// waiting at given virtual instants, and the reader's pauses only move the
// clock, so every answer and every time-out is checked to the millisecond.
#include "modem/ModemLineReader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <functional>
#include <string>
#include <vector>

namespace varnix {
namespace {

using std::chrono::milliseconds;
using enum ModemResult;

class VirtualClock final : public ReaderClock {
 public:
  milliseconds now{1000};
  milliseconds longestSleep{0};
  milliseconds Now() override { return now; }
  void Sleep(milliseconds d) override {
    EXPECT_GT(d.count(), 0) << "a pause of nothing spins";
    longestSleep = std::max(longestSleep, d);
    now += d;
  }
};

class ScriptedModem final : public ModemPort {
 public:
  explicit ScriptedModem(VirtualClock& clock) : clock_(clock) {}

  // `bytes` become waiting `after` ms from now; `pieces` delivers them one
  // byte per read.
  void Reply(milliseconds after, std::string bytes) {
    script_.push_back({clock_.now + after, std::move(bytes)});
    std::stable_sort(script_.begin(), script_.end(),
                     [](const Chunk& a, const Chunk& b) { return a.at < b.at; });
  }
  bool bytewise = false;
  // Every read finds this many more bytes waiting and costs 1 ms, as a
  // modem that never stops talking would.
  std::string flood;
  // Claims this many bytes more than were asked for (and than it wrote).
  int overclaim = 0;
  std::vector<std::string> sent;

  int Send(const void* data, int count) override {
    sent.emplace_back(static_cast<const char*>(data), static_cast<std::size_t>(count));
    return 1;
  }

  int Receive(void* buffer, int max) override {
    ++reads;
    while (!script_.empty() && script_.front().at <= clock_.now) {
      waiting_ += script_.front().bytes;
      script_.pop_front();
    }
    if (!flood.empty()) {
      waiting_ += flood;
      clock_.now += milliseconds(1);
    }
    int n = std::min<int>(max, static_cast<int>(waiting_.size()));
    if (bytewise) n = std::min(n, 1);
    std::copy_n(waiting_.data(), n, static_cast<char*>(buffer));
    waiting_.erase(0, static_cast<std::size_t>(n));
    return n > 0 ? n + overclaim : 0;
  }
  long reads = 0;

 private:
  struct Chunk {
    milliseconds at;
    std::string bytes;
  };
  VirtualClock& clock_;
  std::deque<Chunk> script_;
  std::string waiting_;
};

std::vector<std::string> Lines(const std::vector<UnsolicitedCode>& codes) {
  std::vector<std::string> out;
  for (const auto& c : codes) out.push_back(c.body.empty() ? c.line : c.line + " | " + c.body);
  return out;
}

constexpr char kPdu[] = "0011000BC12143658709F10008AA06006100620063";

TEST(ModemLineReader, Dialogues) {
  struct Reply {
    int after;
    std::string bytes;
  };
  struct Case {
    const char* name;
    std::string command;
    bool prompt;  // WaitPromptOrResult, else WaitFinalResult
    std::vector<Reply> replies;
    ModemResult result;
    int elapsed;  // ms from the wait's start to its return
    int errorCode = -1;
    int mr = -1;
    std::vector<std::string> unsolicited = {};
    std::vector<std::string> information = {};
  };
  const std::string pduCmd = std::string(kPdu) + "\x1a";
  const Case cases[] = {
      {"ok", "at+cmgf=0\r", false, {{30, "\r\nOK\r\n"}}, kOk, 30},
      {"prompt after CR LF", "at+cmgs=20\r", true, {{50, "\r\n> "}}, kPrompt, 50},
      {"bare prompt", "at+cmgs=20\r", true, {{50, "> "}}, kPrompt, 50},
      {"prompt after the echo", "at+cmgs=20\r", true, {{20, "at+cmgs=20\r"}, {40, "\r\n> "}},
       kPrompt, 40},
      {"error instead of the prompt", "at+cmgs=20\r", true, {{10, "\r\n+CMS ERROR: 304\r\n"}},
       kCmsError, 10, 304},
      {"cme error", "at+cmgf=0\r", false, {{10, "\r\n+CME ERROR: 10\r\n"}}, kCmeError, 10, 10},
      {"plain error", "at+cmgf=0\r", false, {{10, "\r\nERROR\r\n"}}, kError, 10},
      {"verbose error", "at+cmgs=20\r", true, {{10, "\r\n+CMS ERROR: unknown error\r\n"}},
       kCmsError, 10},
      // The answer is the OK, not the +CMGS line that comes first.
      {"sent", pduCmd, false, {{3000, "\r\n+CMGS: 12\r\n"}, {3200, "\r\nOK\r\n"}}, kOk, 3200, -1,
       12, {}, {"+CMGS: 12"}},
      {"sent, echoing modem", pduCmd, false,
       {{5, pduCmd}, {900, "\r\n+CMGS: 3\r\n\r\nOK\r\n"}}, kOk, 900, -1, 3, {}, {"+CMGS: 3"}},
      {"sent, echo after the prompt", pduCmd, false,
       {{5, "> " + pduCmd + "\r\n"}, {900, "\r\n+CMGS: 3\r\n\r\nOK\r\n"}}, kOk, 900, -1, 3, {},
       {"+CMGS: 3"}},
      {"ring and +cmti in the middle", pduCmd, false,
       {{100, "\r\nRING\r\n"}, {200, "\r\n+CMTI: \"SM\",3\r\n"}, {300, "\r\n+CMGS: 7\r\n"},
        {310, "\r\n+CDSI: \"SR\",1\r\n\r\nOK\r\n"}},
       kOk, 310, -1, 7, {"RING", "+CMTI: \"SM\",3", "+CDSI: \"SR\",1"}, {"+CMGS: 7"}},
      {"vendor codes while waiting for the prompt", "at+cmgs=20\r", true,
       {{10, "\r\n^RSSI: 17\r\n^BOOT:1,0,0,0\r\n^MODE: 5,4\r\n^HCSQ: \"LTE\",50\r\n^NEW\r\n"},
        {20, "+CREG: 1\r\n"},
        {30, "\r\n> "}},
       kPrompt, 30, -1, -1,
       {"^RSSI: 17", "^BOOT:1,0,0,0", "^MODE: 5,4", "^HCSQ: \"LTE\",50", "^NEW", "+CREG: 1"}},
      // +CDS: brings its report PDU on the next line.
      {"status report with its pdu", pduCmd, false,
       {{10, "\r\n+CDS: 25\r\n07911326040000F0060D\r\n"}, {20, "\r\n+CMGS: 8\r\n\r\nOK\r\n"}},
       kOk, 20, -1, 8, {"+CDS: 25 | 07911326040000F0060D"}, {"+CMGS: 8"}},
      {"empty lines are no answer", "at+cmgf=0\r", false,
       {{10, "\r\n\r\n\n\r \r\n"}, {60, "\r\nOK\r\n"}}, kOk, 60},
      // "+CREG:" answers "AT+CREG?": information, not set aside.
      {"the command's own information", "AT+CREG?\r", false, {{10, "\r\n+CREG: 0,1\r\n\r\nOK\r\n"}},
       kOk, 10, -1, -1, {}, {"+CREG: 0,1"}},
      {"ok without +cmgs", pduCmd, false, {{40, "\r\nOK\r\n"}}, kOk, 40},
      {"a reference above 24 bits is none", pduCmd, false,
       {{40, "\r\n+CMGS: 16777216\r\n\r\nOK\r\n"}}, kOk, 40, -1, -1, {}, {"+CMGS: 16777216"}},
      // 2^64 + 5: summed without the bound in the loop it would wrap to 5.
      {"a code longer than any number", pduCmd, false,
       {{40, "\r\n+CMS ERROR: 18446744073709551621\r\n"}}, kCmsError, 40},
      {"a status report's code just before the OK", "at+cmgf=0\r", false,
       {{10, "\r\n+CDS: 25\r\n\r\nOK\r\n"}}, kOk, 10, -1, -1, {"+CDS: 25"}},
      {"+cmgs then an error", pduCmd, false, {{40, "\r\n+CMGS: 1\r\n\r\nERROR\r\n"}}, kError, 40,
       -1, 1, {}, {"+CMGS: 1"}},
      // A prompt is only an answer when one was asked for.
      {"prompt is no final result", pduCmd, false, {{10, "\r\n> "}, {30, "\r\nOK\r\n"}}, kOk, 30},
      {"silence before the prompt", "at+cmgs=20\r", true, {}, kTimeout, 5000},
      {"silence after the pdu", pduCmd, false, {}, kTimeout, 60000},
      {"+cmgs and then silence", pduCmd, false, {{100, "\r\n+CMGS: 12\r\n"}}, kTimeout, 60000, -1,
       12, {}, {"+CMGS: 12"}},
      // What has arrived by the deadline still counts; what comes after does not.
      {"prompt at the deadline", "at+cmgs=20\r", true, {{5000, "\r\n> "}}, kPrompt, 5000},
      {"prompt after the deadline", "at+cmgs=20\r", true, {{5001, "\r\n> "}}, kTimeout, 5000},
      {"half a result", "at+cmgf=0\r", false, {{10, "\r\nO"}}, kTimeout, 60000},
  };
  for (const Case& c : cases) {
    for (bool bytewise : {false, true}) {
      SCOPED_TRACE(std::string(c.name) + (bytewise ? " (byte by byte)" : ""));
      VirtualClock clock;
      ScriptedModem modem(clock);
      modem.bytewise = bytewise;
      ModemLineReader reader(modem, clock);
      EXPECT_EQ(reader.Send(c.command), 1);
      ASSERT_EQ(modem.sent, std::vector<std::string>{c.command});
      for (const Reply& r : c.replies) modem.Reply(milliseconds(r.after), r.bytes);
      const milliseconds start = clock.now;
      const ModemAnswer a = c.prompt ? reader.WaitPromptOrResult() : reader.WaitFinalResult();
      EXPECT_EQ(a.result, c.result);
      // Judged at the poll that finds the deciding line complete, never a
      // fixed pause later; a time-out returns at the deadline itself.
      EXPECT_EQ(a.elapsed, milliseconds(c.elapsed));
      EXPECT_EQ(clock.now - start, milliseconds(c.elapsed));
      EXPECT_LE(clock.longestSleep, milliseconds(5));
      EXPECT_EQ(a.errorCode, c.errorCode);
      EXPECT_EQ(a.messageReference, c.mr);
      EXPECT_EQ(a.Sent(), c.result == kOk && c.mr >= 0);
      EXPECT_EQ(a.information, c.information);
      EXPECT_EQ(Lines(reader.TakeUnsolicited()), c.unsolicited);
      EXPECT_TRUE(reader.TakeUnsolicited().empty());
    }
  }
}

TEST(ModemLineReader, WholeSendOfOnePart) {
  VirtualClock clock;
  ScriptedModem modem(clock);
  ModemLineReader reader(modem, clock);

  reader.Send("at+cmgf=0\r");
  modem.Reply(milliseconds(20), "\r\nOK\r\n\r\nRING\r\n");
  EXPECT_EQ(reader.WaitFinalResult().result, kOk);

  // The RING after the OK was already read: it is kept when the next
  // command goes out. A stale OK waiting before the command is no answer.
  modem.Reply(milliseconds(0), "\r\nOK\r\n");
  clock.now += milliseconds(1);
  reader.Send("at+cmgs=20\r");
  modem.Reply(milliseconds(15), "\r\n> ");
  ModemAnswer a = reader.WaitPromptOrResult();
  EXPECT_EQ(a.result, kPrompt);
  EXPECT_EQ(a.elapsed, milliseconds(15));

  reader.Send(std::string(kPdu) + "\x1a");
  modem.Reply(milliseconds(2500), "\r\n+CMGS: 201\r\n\r\nOK\r\n");
  a = reader.WaitFinalResult();
  EXPECT_TRUE(a.Sent());
  EXPECT_EQ(a.messageReference, 201);
  EXPECT_EQ(a.elapsed, milliseconds(2500));
  EXPECT_EQ(Lines(reader.TakeUnsolicited()), std::vector<std::string>{"RING"});
  EXPECT_EQ(modem.sent.size(), 3u);
}

TEST(ModemLineReader, BytesAfterTheDecidingLineWaitForTheNextAnswer) {
  VirtualClock clock;
  ScriptedModem modem(clock);
  ModemLineReader reader(modem, clock);
  reader.Send("AT\r");
  modem.Reply(milliseconds(10), "\r\nOK\r\n\r\n+CME ERROR: 3\r\n");
  EXPECT_EQ(reader.WaitFinalResult().result, kOk);
  const ModemAnswer next = reader.WaitFinalResult(milliseconds(100));
  EXPECT_EQ(next.result, kCmeError);
  EXPECT_EQ(next.errorCode, 3);
  EXPECT_EQ(next.elapsed, milliseconds(0));
}

TEST(ModemLineReader, SilenceEndsAtTheDeadlineNotAPollLater) {
  for (int timeout : {0, 1, 4, 1234, 59999}) {
    SCOPED_TRACE(timeout);
    VirtualClock clock;
    ScriptedModem modem(clock);
    ModemLineReader reader(modem, clock);
    reader.Send("at+cmgf=0\r");
    const ModemAnswer a = reader.WaitFinalResult(milliseconds(timeout));
    EXPECT_EQ(a.result, kTimeout);
    EXPECT_EQ(a.elapsed, milliseconds(timeout));
    EXPECT_TRUE(a.finalLine.empty());
  }
}

TEST(ModemLineReader, GarbageFloodStaysBounded) {
  VirtualClock clock;
  ScriptedModem modem(clock);
  ReaderLimits limits;
  limits.maxLineBytes = 64;
  ModemLineReader reader(modem, clock, limits);

  // No line end at all: the wait still ends at its deadline, and the
  // collected line never grows past its limit.
  reader.Send("at+cmgf=0\r");
  modem.flood = std::string(64, 'Z');
  const ModemAnswer a = reader.WaitFinalResult(milliseconds(2000));
  EXPECT_EQ(a.result, kTimeout);
  // Every read of this modem costs 1 ms; the last look at the deadline
  // takes at most 64 reads.
  EXPECT_GE(a.elapsed, milliseconds(2000));
  EXPECT_LE(a.elapsed, milliseconds(2000 + 64));
  EXPECT_GT(reader.DroppedBytes(), 100000u);
  EXPECT_TRUE(a.information.empty());

  // The flood ends: the next complete line is read as ever, and the
  // garbage before its line end was dropped, not glued to it.
  modem.flood.clear();
  modem.Reply(milliseconds(10), "\r\nOK\r\n");
  EXPECT_EQ(reader.WaitFinalResult(milliseconds(100)).result, kOk);

  // Lines of garbage: kept up to the limit per answer.
  reader.Send("at+cmgf=0\r");
  modem.flood = "noise\r\n";
  const ModemAnswer b = reader.WaitFinalResult(milliseconds(500));
  EXPECT_EQ(b.result, kTimeout);
  EXPECT_EQ(b.information.size(), limits.maxInformation);

  // Unsolicited codes: the newest are kept, the oldest counted as dropped.
  modem.flood.clear();
  reader.TakeUnsolicited();
  std::string rings;
  for (int i = 0; i < 100; ++i) rings += "\r\n+CMTI: \"SM\"," + std::to_string(i) + "\r\n";
  modem.Reply(milliseconds(0), rings + "\r\nOK\r\n");
  EXPECT_EQ(reader.WaitFinalResult(milliseconds(100)).result, kOk);
  const auto kept = reader.TakeUnsolicited();
  ASSERT_EQ(kept.size(), limits.maxUnsolicited);
  EXPECT_EQ(kept.front().line, "+CMTI: \"SM\",36");
  EXPECT_EQ(kept.back().line, "+CMTI: \"SM\",99");
  EXPECT_EQ(reader.DroppedUnsolicited(), 36u);
}

TEST(ModemLineReader, LongestLineKeptOneMoreDropped) {
  VirtualClock clock;
  ScriptedModem modem(clock);
  ReaderLimits limits;
  limits.maxLineBytes = 16;
  ModemLineReader reader(modem, clock, limits);
  reader.Send("AT\r");
  modem.Reply(milliseconds(5), "\r\n" + std::string(16, 'a') + "\r\n" + std::string(17, 'b') +
                                   "\r\nOK\r\n");
  const ModemAnswer a = reader.WaitFinalResult(milliseconds(100));
  EXPECT_EQ(a.result, kOk);
  EXPECT_EQ(a.information, std::vector<std::string>{std::string(16, 'a')});
  EXPECT_EQ(reader.DroppedBytes(), 17u);
}

TEST(ModemLineReader, PortClaimingMoreThanAskedFor) {
  VirtualClock clock;
  ScriptedModem modem(clock);
  modem.overclaim = 100000;
  ModemLineReader reader(modem, clock);
  reader.Send("at+cmgf=0\r");
  modem.Reply(milliseconds(5), "\r\nOK\r\n");
  EXPECT_EQ(reader.WaitFinalResult(milliseconds(100)).result, kOk);
  // The claim is cut to the chunk asked for: the reader never takes in a
  // hundred thousand bytes the port did not give it.
  EXPECT_EQ(reader.WaitFinalResult(milliseconds(100)).result, kTimeout);
  EXPECT_EQ(reader.DroppedBytes(), 0u);
}

TEST(ModemLineReader, ClassifyLine) {
  const std::pair<std::string, LineKind> cases[] = {
      {"", LineKind::kEmpty},
      {"   ", LineKind::kEmpty},
      {"OK", LineKind::kOk},
      {"OK ", LineKind::kOk},
      {"OKAY", LineKind::kInformation},
      {"ERROR", LineKind::kError},
      {"+CMS ERROR: 500", LineKind::kCmsError},
      {"+CME ERROR: SIM busy", LineKind::kCmeError},
      {"RING", LineKind::kUnsolicited},
      {"+CMTI: \"SM\",1", LineKind::kUnsolicited},
      {"+CDS: 25", LineKind::kUnsolicited},
      {"+CDSI: \"SR\",2", LineKind::kUnsolicited},
      {"+CREG: 1", LineKind::kUnsolicited},
      {"^RSSI: 12", LineKind::kUnsolicited},
      {"^ANYTHING", LineKind::kUnsolicited},
      {"+CMGS: 12", LineKind::kInformation},
      {"0791...", LineKind::kInformation},
  };
  for (const auto& [line, kind] : cases) EXPECT_EQ(ClassifyLine(line), kind) << line;
  EXPECT_EQ(ClassifyLine("+CREG: 0,1", "+CREG"), LineKind::kInformation);
  EXPECT_EQ(ClassifyLine("^HCSQ: \"LTE\"", "^HCSQ"), LineKind::kInformation);
  EXPECT_EQ(ClassifyLine("+CREGX: 1", "+CREG"), LineKind::kInformation);
  EXPECT_EQ(ClassifyLine("RING", "+CREG"), LineKind::kUnsolicited);
  EXPECT_EQ(ClassifyLine("OK", "+CREG"), LineKind::kOk);
}

}  // namespace
}  // namespace varnix
