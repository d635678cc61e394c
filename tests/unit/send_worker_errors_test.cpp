// What one message's trouble may cost in virtual time: an error from the
// port, the codec or the post, a number the send rule could not queue
// whole, a port that claims more than it was given.
#include "gateway/SendWorker.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/WorkerBench.h"
#include "dde/SendRule.h"

namespace varnix {
namespace {

using namespace varnix::testing;
using std::chrono::milliseconds;

TEST(SendWorker, AnErrorEndsOneMessageAndTheNextGoesOutAsUsual) {
  // The reference: the third message alone on a clean bench.
  Bench clean;
  clean.modem.reply = {{0, kCompleteReply}};
  clean.worker.ProcessMessage(clean.Entry("12345678901,abc"));
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
    b.state.sendQueue.Append(b.Entry("11111111111,x"));
    b.state.sendQueue.Append(b.Entry("123456789012,a,b,c,d"));
    b.state.sendQueue.Append(b.Entry("12345678901,abc"));
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
  SendWorker worker{b.state, b.modem, b.clock, b.delay, [&] {
                          b.log.push_back({b.clock.now, "post:" + b.state.statusText.Get()});
                          if (++posts == 1) throw std::bad_alloc();
                        }};
  b.state.sendQueue.Append(b.Entry("11111111111,a"));
  b.state.sendQueue.Append(b.Entry("22222222222,b"));
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
  b.state.sendQueue.Append(b.Entry(QueueEntry("11111111111", "a")));
  b.state.sendQueue.Append(b.Entry(QueueEntry("123,4", "hi")));
  b.state.sendQueue.Append(b.Entry(QueueEntry("22222222222", "b")));
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
    SendWorker worker(state, port, clock, delay, nullptr);
    worker.ProcessMessage(Decoded("12345678901,abc", codec));
    EXPECT_EQ(state.statusText.Get(), c.status);
    EXPECT_EQ(port.asked.size(), c.reads);
    for (int max : port.asked) EXPECT_EQ(max, kReceiveChunk);
  }
}

}  // namespace
}  // namespace varnix
