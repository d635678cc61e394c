// The modem dialogue in virtual time: a scripted modem on one side, a clock
// that only counts on the other, so every pause and byte is checked exactly.
#include "uMeter/SendWorker.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/Deadline.h"
#include "support/Utf8Codec.h"
#include "uMain/SendRule.h"
#include "uMeter/PduEncoder.h"

namespace varnix {
namespace {

using std::chrono::milliseconds;

struct Event {
  long at;           // virtual ms
  std::string what;  // "send:<bytes>", "sleep:<ms>", "idle:<ms>", "read:<n>", "post:<status>"
  bool operator==(const Event&) const = default;
};
void PrintTo(const Event& e, std::ostream* os) { *os << e.at << " " << ::testing::PrintToString(e.what); }

class VirtualClock final : public WorkerClock {
 public:
  explicit VirtualClock(std::vector<Event>& log) : log_(log) {}
  long now = 0;
  std::function<void()> onIdle;  // e.g. stop the loop once the queue is drained

  void Sleep(milliseconds d) override {
    log_.push_back({now, "sleep:" + std::to_string(d.count())});
    now += static_cast<long>(d.count());
  }
  void WaitIdle(const SendQueue&, milliseconds d) override {
    log_.push_back({now, "idle:" + std::to_string(d.count())});
    now += static_cast<long>(d.count());
    if (onIdle) onIdle();
  }

 private:
  std::vector<Event>& log_;
};

// A modem that answers the PDU's Ctrl-Z with chunks at given offsets. Every
// send purges what was not read, as the real port does.
class ScriptedModem final : public ModemPort {
 public:
  ScriptedModem(VirtualClock& clock, std::vector<Event>& log) : clock_(clock), log_(log) {}

  struct Chunk {
    long after;  // ms after the Ctrl-Z went out
    std::string bytes;
  };
  std::vector<Chunk> reply;
  std::function<void(const std::string&)> onSend;
  std::function<void()> onReceive;

  int Send(const void* data, int count) override {
    const std::string s(static_cast<const char*>(data), static_cast<std::size_t>(count));
    log_.push_back({clock_.now, "send:" + s});
    pending_.clear();
    waiting_.clear();
    if (!s.empty() && s.back() == '\x1a') {
      for (const Chunk& c : reply) pending_.push_back({clock_.now + c.after, c.bytes});
    }
    if (onSend) onSend(s);
    return 1;
  }

  int Receive(void* buffer, int max) override {
    if (onReceive) onReceive();
    while (!pending_.empty() && pending_.front().after <= clock_.now) {
      waiting_ += pending_.front().bytes;
      pending_.pop_front();
    }
    const int n = std::min<int>(max, static_cast<int>(waiting_.size()));
    std::copy_n(waiting_.data(), n, static_cast<char*>(buffer));
    waiting_.erase(0, static_cast<std::size_t>(n));
    log_.push_back({clock_.now, "read:" + std::to_string(n)});
    return n;
  }

 private:
  VirtualClock& clock_;
  std::vector<Event>& log_;
  std::deque<Chunk> pending_;
  std::string waiting_;
};

// Reads UTF-8 like the other tests, but throws for one chosen text, as a
// code-page conversion that runs out of memory would.
class FailingCodec final : public AnsiCodec {
 public:
  std::string failOn;  // empty: never fails
  std::u16string ToUtf16(std::string_view s) const override {
    if (!failOn.empty() && s == failOn) throw std::bad_alloc();
    return utf8_.ToUtf16(s);
  }

 private:
  testing::Utf8Codec utf8_;
};

struct Bench {
  // Virtual time costs nothing, so a worker loop that ignores its stop or a
  // read loop without its bound shows up as a hang: bound the whole bench.
  testing::Deadline deadline{"the worker in virtual time"};
  std::vector<Event> log;
  GatewayState state;
  VirtualClock clock{log};
  ScriptedModem modem{clock, log};
  FailingCodec codec;
  std::atomic<std::int32_t> delay{2000};
  TGetDataThread worker{state, modem, clock, codec, delay, [this] {
                          log.push_back({clock.now, "post:" + state.statusText.Get()});
                        }};

  Bench() {
    state.portHandle = 42;
    clock.onIdle = [this] {
      if (state.sendQueue.Count() == 0) state.stopRequested = true;
    };
  }
  // Only the events of one kind, without times.
  std::vector<std::string> Kinds(const std::string& prefix) const {
    std::vector<std::string> out;
    for (const Event& e : log)
      if (e.what.rfind(prefix, 0) == 0) out.push_back(e.what);
    return out;
  }
  // Read passes: the reads of one pass happen at the same virtual moment.
  int ReadPasses() const {
    int passes = 0;
    long last = -1;
    for (const Event& e : log)
      if (e.what.rfind("read:", 0) == 0 && e.at != last) ++passes, last = e.at;
    return passes;
  }
  long PostTime() const {
    for (const Event& e : log)
      if (e.what.rfind("post:", 0) == 0) return e.at;
    return -1;
  }
};

const std::string kCompleteReply = "\r\n+CMGS: 12\r\n\r\nOK\r\n";
const std::string kPdu = "0011000BC12143658709F10008AA06006100620063";

TEST(SendWorker, ExactDialogueForASuccessAtTheFirstRead) {
  Bench b;
  b.modem.reply = {{0, kCompleteReply}};
  b.worker.ProcessEntry("12345678901,abc");
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
    b.worker.ProcessEntry("12345678901,abc");
    EXPECT_EQ(b.state.statusText.Get(), c.status);
    EXPECT_EQ(b.PostTime(), c.duration);
    EXPECT_EQ(b.ReadPasses(), c.reads);
    EXPECT_EQ(b.Kinds("post:"), std::vector<std::string>{"post:" + c.status});
  }
}

TEST(SendWorker, UnsafeNumbersNeverReachTheModem) {
  const std::vector<std::string> entries = {",abc", "123\x1a" "45,abc", "+,x", "1 2,x", "abc",
                                            std::string(21, '1') + ",x",
                                            // Num "123,4" with SMS "hi", as the send rule queues it.
                                            QueueEntry("123,4", "hi")};
  for (const std::string& entry : entries) {
    SCOPED_TRACE(entry);
    Bench b;
    b.modem.reply = {{0, kCompleteReply}};
    b.worker.ProcessEntry(entry);
    EXPECT_TRUE(b.Kinds("send:").empty());
    EXPECT_TRUE(b.Kinds("sleep:").empty());
    EXPECT_EQ(b.Kinds("post:"), std::vector<std::string>{"post:0"});
  }
}

TEST(SendWorker, LoopSendsInOrderWithoutPauseBetweenMessages) {
  Bench b;
  b.modem.reply = {{0, kCompleteReply}};
  b.state.sendQueue.Append("11111111111,a");
  b.state.sendQueue.Append("22222222222,b");
  // Appended while the first message is under way: waits behind it.
  bool added = false;
  b.modem.onSend = [&](const std::string&) {
    if (!added) added = b.state.sendQueue.Append("33333333333,c");
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
  b.state.sendQueue.Append("11111111111,a");
  b.state.sendQueue.Append("22222222222,b");
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
  b.state.sendQueue.Append("11111111111,a");
  b.worker.Execute();
  EXPECT_TRUE(b.log.empty());
}

TEST(SendWorker, DelayIsReadAtEveryPauseAndNegativeCountsAsZero) {
  Bench b;
  b.modem.reply = {{0, kCompleteReply}};
  b.modem.onSend = [&](const std::string& s) {
    if (s.rfind("at+cmgs", 0) == 0) b.delay = 500;
  };
  b.state.sendQueue.Append("11111111111,a");
  b.worker.Execute();
  EXPECT_EQ(b.Kinds("sleep:"), (std::vector<std::string>{"sleep:1000", "sleep:1000", "sleep:500"}));
  EXPECT_EQ(b.Kinds("idle:"), std::vector<std::string>{"idle:500"});

  Bench n;
  n.delay = -5;
  n.modem.reply = {{0, kCompleteReply}};
  n.state.sendQueue.Append("11111111111,a");
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
  for (int i = 0; i < 4; ++i) b.state.sendQueue.Append("12345678901,x");
  b.worker.Execute();
  EXPECT_EQ(b.Kinds("post:"),
            (std::vector<std::string>{"post:1", "post:0", "post:1", "post:1"}));
}

// The events of one message (the dialogue after the previous post, up to
// and with its own post), with times counted from the first of them.
std::vector<Event> MessageEvents(const std::vector<Event>& log, std::size_t message) {
  std::vector<Event> out;
  std::size_t index = 0;
  for (const Event& e : log) {
    if (index == message && e.what.rfind("idle:", 0) != 0) out.push_back(e);
    if (e.what.rfind("post:", 0) == 0 && index++ == message) break;
  }
  const long start = out.empty() ? 0 : out.front().at;
  for (Event& e : out) e.at -= start;
  return out;
}

TEST(SendWorker, AnErrorEndsOneMessageAndTheNextGoesOutAsUsual) {
  // The reference: the third message alone on a clean bench.
  Bench clean;
  clean.modem.reply = {{0, kCompleteReply}};
  clean.worker.ProcessEntry("12345678901,abc");
  const std::vector<Event> usual = MessageEvents(clean.log, 0);
  ASSERT_EQ(usual.size(), 9u);
  ASSERT_EQ(usual.back().what, "post:1");

  const struct {
    const char* name;
    std::function<void(Bench&)> arm;  // makes the second message fail
    std::size_t sends;                // writes that still went out for it
    long postAt;                      // its post, from its first write
  } cases[] = {
      {"the port throws on the length command",
       [](Bench& b) {
         b.modem.onSend = [](const std::string& s) {
           if (s == "at+cmgs=28\r") throw std::runtime_error("port gone");
         };
       },
       2, 1000},
      {"the port runs out of memory on the PDU",
       [](Bench& b) {
         b.modem.onSend = [](const std::string& s) {
           if (s.find("0064\x1a") != std::string::npos) throw std::bad_alloc();
         };
       },
       3, 2000},
      {"the port throws while reading the reply",
       [](Bench& b) {
         // Armed by the second message's PDU, disarmed by the next write.
         b.modem.onSend = [&b](const std::string& s) {
           b.modem.onReceive = s.find("0064\x1a") != std::string::npos
                                   ? std::function<void()>([] { throw 7; })
                                   : std::function<void()>();
         };
       },
       3, 4000},
      {"the codec throws", [](Bench& b) { b.codec.failOn = "a,b,c,d"; }, 1, 1000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Bench b;
    b.modem.reply = {{0, kCompleteReply}};
    c.arm(b);
    b.state.sendQueue.Append("11111111111,x");
    b.state.sendQueue.Append("123456789012,a,b,c,d");
    b.state.sendQueue.Append("12345678901,abc");
    b.worker.Execute();

    EXPECT_EQ(b.Kinds("post:"), (std::vector<std::string>{"post:1", "post:0", "post:1"}));
    EXPECT_EQ(b.state.sendQueue.Count(), 0u);
    const std::vector<Event> failed = MessageEvents(b.log, 1);
    ASSERT_FALSE(failed.empty());
    std::size_t sends = 0;
    for (const Event& e : failed) sends += e.what.rfind("send:", 0) == 0;
    EXPECT_EQ(sends, c.sends);
    // Reported at once: no failure pause after the error.
    EXPECT_EQ(failed.back(), (Event{c.postAt, "post:0"}));
    // The next message: the same bytes, pauses and reads as on a clean bench.
    EXPECT_EQ(MessageEvents(b.log, 2), usual);
  }
}

TEST(SendWorker, AFailingPostEndsOnlyItsMessage) {
  Bench b;
  b.modem.reply = {{0, kCompleteReply}};
  int posts = 0;
  TGetDataThread worker{b.state, b.modem, b.clock, b.codec, b.delay, [&] {
                          b.log.push_back({b.clock.now, "post:" + b.state.statusText.Get()});
                          if (++posts == 1) throw std::bad_alloc();
                        }};
  b.state.sendQueue.Append("11111111111,a");
  b.state.sendQueue.Append("22222222222,b");
  worker.Execute();
  // One post per message, none repeated, and the second message went out.
  EXPECT_EQ(b.Kinds("post:"), (std::vector<std::string>{"post:1", "post:1"}));
  EXPECT_EQ(MessageEvents(b.log, 1).front().what, "send:at+cmgf=0\r");
  EXPECT_EQ(MessageEvents(b.log, 1).size(), 9u);
}

TEST(SendWorker, ANumberWithACommaIsRefusedInItsPlace) {
  Bench b;
  b.modem.reply = {{0, kCompleteReply}};
  // The entries the send rule makes for Num "11111111111", "123,4" and
  // "22222222222".
  b.state.sendQueue.Append(QueueEntry("11111111111", "a"));
  b.state.sendQueue.Append(QueueEntry("123,4", "hi"));
  b.state.sendQueue.Append(QueueEntry("22222222222", "b"));
  b.worker.Execute();
  EXPECT_EQ(b.Kinds("post:"), (std::vector<std::string>{"post:1", "post:0", "post:1"}));
  // Nothing at all went to the modem for it, and "4,hi" went nowhere.
  std::vector<std::string> pdus;
  for (const std::string& s : b.Kinds("send:"))
    if (s.back() == '\x1a') pdus.push_back(s.substr(5, 22));
  EXPECT_EQ(pdus, (std::vector<std::string>{"0011000BC11111111111F1", "0011000BC12222222222F2"}));
  EXPECT_EQ(b.Kinds("send:").size(), 6u);
  // Its "0" was posted at the moment the first message's post was.
  std::vector<long> postTimes;
  for (const Event& e : b.log)
    if (e.what.rfind("post:", 0) == 0) postTimes.push_back(e.at);
  ASSERT_EQ(postTimes.size(), 3u);
  EXPECT_EQ(postTimes[1], postTimes[0]);
}

// Says it placed more bytes than it was asked for; really writes at most
// `max` of a reply that is all waiting.
class OverclaimingPort final : public ModemPort {
 public:
  OverclaimingPort(std::string waiting, int extra) : waiting_(std::move(waiting)), extra_(extra) {}
  std::vector<int> asked;
  int Send(const void*, int) override { return 1; }
  int Receive(void* buffer, int max) override {
    asked.push_back(max);
    const int n = std::min<int>(max, static_cast<int>(waiting_.size()));
    if (n == 0) return 0;
    std::copy_n(waiting_.data(), n, static_cast<char*>(buffer));
    waiting_.erase(0, static_cast<std::size_t>(n));
    return n + extra_;
  }

 private:
  std::string waiting_;
  int extra_;
};

TEST(SendWorker, APortClaimingMoreThanAskedIsTakenAtMostABufferFull) {
  const struct {
    std::string waiting;
    int extra;
    std::string status;
    std::size_t reads;  // calls to Receive in the first pass
  } cases[] = {
      // 19 bytes: a full buffer, then 9 claimed as at least 10, then nothing.
      {"\r\n+CMGS: 12\r\n\r\nOK\r\n", 1, "1", 3},
      {"\r\n+CMGS: 12\r\n\r\nOK\r\n", 5000, "1", 3},
      // "+CMGS" is split across the two buffers: both are kept.
      {"\r\nxxxxx+CMGS: 3\r\n", 1, "1", 2},
      // A claim past the bound on bytes per read must not end the read
      // early either.
      {"\r\nxxxxx+CM" "GS: 3\r\n", 4096, "1", 3},
      {"\r\n+CMS ERROR: 500\r\n", 100, "0", 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.waiting) + " +" + std::to_string(c.extra));
    testing::Deadline deadline("one message against an overclaiming port");
    GatewayState state;
    state.portHandle = 1;
    std::vector<Event> log;
    VirtualClock clock(log);
    OverclaimingPort port(c.waiting, c.extra);
    testing::Utf8Codec codec;
    std::atomic<std::int32_t> delay{0};
    TGetDataThread worker(state, port, clock, codec, delay, nullptr);
    worker.ProcessEntry("12345678901,abc");
    EXPECT_EQ(state.statusText.Get(), c.status);
    EXPECT_EQ(port.asked.size(), c.reads);
    for (int max : port.asked) EXPECT_EQ(max, kReceiveChunk);
  }
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
  for (const auto& c : cases) {
    const SplitEntry s = SplitQueueEntry(c.entry);
    EXPECT_EQ(s.number, c.number) << c.entry;
    EXPECT_EQ(s.text, c.text) << c.entry;
  }
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

// Real threads, but the dialogue's fixed pauses cost nothing: only the idle
// wait is real, so its early end is what gets measured.
class InstantPauses final : public WorkerClock {
 public:
  void Sleep(milliseconds) override {}
  void WaitIdle(const SendQueue& q, milliseconds d) override { q.WaitForEntry(d); }
};

class RecordingModem final : public ModemPort {
 public:
  std::atomic<int> sends{0};
  int Send(const void*, int) override { return ++sends, 1; }
  int Receive(void* buf, int max) override {
    const std::string r = "+CMGS: 1\r\n";
    const int n = std::min<int>(max, static_cast<int>(r.size()));
    std::copy_n(r.data(), n, static_cast<char*>(buf));
    return n;
  }
};

TEST(SendWorker, IdleWorkerWakesForANewEntryAndStopsAtOnce) {
  GatewayState state;
  state.portHandle = 7;
  RecordingModem modem;
  InstantPauses clock;
  testing::Utf8Codec codec;
  std::atomic<std::int32_t> delay{600000};  // a poll that would take 10 minutes
  std::atomic<int> posts{0};
  TGetDataThread worker(state, modem, clock, codec, delay, [&] { ++posts; });
  std::atomic<bool> finishedCalled{false};
  worker.SetOnFinished([&] { finishedCalled = true; });
  worker.Start();

  const auto t0 = std::chrono::steady_clock::now();
  state.sendQueue.Append("12345678901,hello");
  while (posts.load() == 0 && std::chrono::steady_clock::now() - t0 < testing::kWaitBound)
    std::this_thread::yield();
  EXPECT_EQ(posts.load(), 1);
  EXPECT_EQ(modem.sends.load(), 3);

  state.RequestStop();
  testing::Within("the worker to end on the stop", [&] { worker.Join(); });
  EXPECT_TRUE(worker.Finished());
  EXPECT_TRUE(finishedCalled.load());
  // Neither wake-up waited for the 10-minute poll.
  EXPECT_LT(std::chrono::steady_clock::now() - t0, testing::kWaitBound);
}

TEST(SendWorker, FinishedIsFalseFromStartUntilTheLoopEnds) {
  // An idle wait that holds the worker until the test lets it go.
  class GateClock final : public WorkerClock {
   public:
    void Sleep(milliseconds) override {}
    void WaitIdle(const SendQueue&, milliseconds) override {
      std::unique_lock lock(mutex_);
      ++idles_;
      changed_.notify_all();
      changed_.wait(lock, [this] { return open_; });
      if (throwAfterOpen_) throw std::runtime_error("idle wait failed");
    }
    void WaitUntilIdle() {
      std::unique_lock lock(mutex_);
      changed_.wait(lock, [this] { return idles_ > 0; });
    }
    void Open(bool thenThrow) {
      {
        std::lock_guard lock(mutex_);
        open_ = true;
        throwAfterOpen_ = thenThrow;
      }
      changed_.notify_all();
    }

   private:
    std::mutex mutex_;
    std::condition_variable changed_;
    int idles_ = 0;
    bool open_ = false;
    bool throwAfterOpen_ = false;
  };

  // The loop ends on the stop, or through an error of the idle wait itself;
  // an onFinished that throws must not take the process down.
  for (const bool throwing : {false, true}) {
    SCOPED_TRACE(throwing ? "the idle wait throws" : "stop");
    GatewayState state;
    state.portHandle = 7;
    RecordingModem modem;
    GateClock clock;
    testing::Utf8Codec codec;
    std::atomic<std::int32_t> delay{0};
    TGetDataThread worker(state, modem, clock, codec, delay, nullptr);
    std::atomic<int> finishedCalls{0};
    std::atomic<bool> finishedSeenInCallback{false};
    worker.SetOnFinished([&] {
      finishedSeenInCallback = worker.Finished();
      ++finishedCalls;
      if (throwing) throw std::runtime_error("onFinished");
    });
    EXPECT_TRUE(worker.Finished());  // never started

    worker.Start();
    EXPECT_FALSE(worker.Finished());
    testing::Within("the worker to reach its idle wait", [&] { clock.WaitUntilIdle(); });
    EXPECT_FALSE(worker.Finished());
    EXPECT_EQ(finishedCalls.load(), 0);

    if (!throwing) state.RequestStop();
    clock.Open(throwing);
    testing::Within("the worker to end", [&] { worker.Join(); });
    EXPECT_TRUE(worker.Finished());
    EXPECT_TRUE(finishedSeenInCallback.load());
    EXPECT_EQ(finishedCalls.load(), 1);
  }
}

}  // namespace
}  // namespace varnix
