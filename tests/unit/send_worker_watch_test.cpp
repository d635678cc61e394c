// The watched modem in virtual time: checks while idle, a port that goes
// away and comes back, and the messages that wait for it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/PromptBench.h"
#include "dde/ResultItems.h"
#include "modem/ModemWatch.h"

namespace varnix {
namespace {

using testing::PromptBench;
using testing::PromptModem;

struct FakeLink final : ModemLink {
  bool lost = false;
  int failReopens = 0;  // how many reopens fail before one works
  std::vector<long> reopenedAt;
  testing::VirtualClock* clock = nullptr;
  std::function<void()> onReopen;

  bool DeviceLost() override { return lost; }
  bool Reopen() override {
    reopenedAt.push_back(clock->now);
    if (onReopen) onReopen();
    if (failReopens > 0) {
      --failReopens;
      return false;
    }
    lost = false;
    return true;
  }
};

struct WatchBench : PromptBench {
  FakeLink link;
  std::vector<ModemStatus> statuses;
  std::vector<std::pair<long, bool>> presence;
  bool silent = false;  // the modem answers no check

  explicit WatchBench(int watch) {
    ext.Watch = watch;
    worker.SetExtensions(ext, &readerClock);
    link.clock = &clock;
    worker.SetModemLink(&link);
    worker.SetOnModemStatus([this](const ModemStatus& s) { statuses.push_back(s); });
    worker.SetOnPresence([this](bool p) { presence.emplace_back(clock.now, p); });
    modem.edit = [this](const std::string& sent, int, std::vector<PromptModem::Chunk>& a) {
      if (sent.rfind("AT+C", 0) != 0) return;
      if (silent) {
        a.clear();
      } else if (sent == "AT+CSQ\r") {
        a = {{20, "\r\n+CSQ: 23,99\r\n\r\nOK\r\n"}};
      } else if (sent == "AT+CREG?\r") {
        a = {{20, "\r\n+CREG: 0,5\r\n\r\nOK\r\n"}};
      } else {
        a = {{20, "\r\n+COPS: 0,0,\"CMCC\"\r\n\r\nOK\r\n"}};
      }
    };
  }
  MessageId Accept(const std::string& entry) {
    ClientMessage m;
    m.entry = entry;
    return *AcceptMessage(state, std::move(m));
  }
  std::vector<std::string> Lines() {
    std::vector<std::string> out;
    for (const StateChange& c : state.results.TakeAll()) out.push_back(ResultLine(c));
    return out;
  }
  // The times at which the first of the three checks went out.
  std::vector<long> CheckTimes() const {
    std::vector<long> out;
    for (const testing::Event& e : log)
      if (e.what == "send:AT+CSQ\r") out.push_back(e.at);
    return out;
  }
  void RunUntil(long ms) {
    clock.onIdle = [this, ms] {
      if (clock.now >= ms) state.stopRequested = true;
    };
    worker.Execute();
  }
};

TEST(SendWorkerWatch, AnIdleModemIsCheckedEveryWatchSeconds) {
  WatchBench bench(10);
  bench.RunUntil(35000);
  const std::vector<long> checks = bench.CheckTimes();
  ASSERT_EQ(checks.size(), 3u);
  EXPECT_GE(checks[0], 10000);
  EXPECT_LE(checks[0], 10000 + 2000);
  EXPECT_GE(checks[1] - checks[0], 10000);
  ASSERT_EQ(bench.statuses.size(), 3u);
  EXPECT_EQ(bench.statuses[0], (ModemStatus{"23", "roaming", "CMCC", true}));
  EXPECT_TRUE(bench.presence.empty());
  EXPECT_TRUE(bench.link.reopenedAt.empty());
  // A Watch below the least allowed counts as 10 s.
  WatchBench hasty(3);
  hasty.RunUntil(15000);
  EXPECT_EQ(hasty.CheckTimes().size(), 1u);
}

TEST(SendWorkerWatch, ThreeSilentChecksLoseThePortWhichIsOpenedAgainEveryFiveSeconds) {
  WatchBench bench(10);
  bench.silent = true;
  bench.link.failReopens = 2;
  bench.clock.onIdle = [&] {
    if (!bench.presence.empty() && bench.presence.back().second) bench.state.stopRequested = true;
  };
  bench.worker.Execute();
  ASSERT_EQ(bench.presence.size(), 2u);
  EXPECT_FALSE(bench.presence[0].second);
  EXPECT_TRUE(bench.presence[1].second);
  EXPECT_EQ(bench.CheckTimes().size(), 3u);
  EXPECT_TRUE(bench.statuses.empty());
  // Reopened 5 s after the loss, then every 5 s until it worked.
  ASSERT_EQ(bench.link.reopenedAt.size(), 3u);
  const long lostAt = bench.presence[0].first;
  EXPECT_EQ(bench.link.reopenedAt[0], lostAt + 5000);
  EXPECT_EQ(bench.link.reopenedAt[1], lostAt + 10000);
  EXPECT_EQ(bench.link.reopenedAt[2], lostAt + 15000);
  EXPECT_EQ(bench.presence[1].first, lostAt + 15000);
}

TEST(SendWorkerWatch, MessagesWaitThroughAnOutageAndGoOutOnceWithoutARetry) {
  WatchBench bench(10);
  bench.link.failReopens = 1;
  // The device goes away as the first message asks for the prompt.
  int cmgs = 0;
  bench.modem.edit = [&, inner = bench.modem.edit](const std::string& sent, int i,
                                                   std::vector<PromptModem::Chunk>& a) {
    inner(sent, i, a);
    if (sent.rfind("at+cmgs=", 0) == 0 && ++cmgs == 1) {
      bench.link.lost = true;
      a.clear();
    }
  };
  bench.Accept("13800138000,first");
  bench.Accept("13900139000,second");
  bench.clock.onIdle = [&] {
    if (bench.state.sendQueue.Count() == 0 && bench.worker.RetriesWaiting() == 0)
      bench.state.stopRequested = true;
  };
  bench.worker.Execute();
  // No failure and no retry: both sent once, the first before the second.
  EXPECT_EQ(bench.Lines(), (std::vector<std::string>{"1\tqueued\t", "2\tqueued\t", "1\tsent\t1",
                                                     "2\tsent\t2"}));
  EXPECT_EQ(bench.Kinds("post:"), (std::vector<std::string>{"post:1", "post:1"}));
  int pdus = 0;
  for (const std::string& s : bench.Sends()) pdus += !s.empty() && s.back() == '\x1a';
  EXPECT_EQ(pdus, 2);
  ASSERT_EQ(bench.presence.size(), 2u);
  EXPECT_EQ(bench.link.reopenedAt.size(), 2u);
}

TEST(SendWorkerWatch, APduThatWentOutBeforeThePortWentAwayIsNotSentAgain) {
  WatchBench bench(10);
  bench.ext.Retries = 3;
  bench.modem.edit = [&, inner = bench.modem.edit](const std::string& sent, int i,
                                                   std::vector<PromptModem::Chunk>& a) {
    inner(sent, i, a);
    if (!sent.empty() && sent.back() == '\x1a') {
      bench.link.lost = true;
      a.clear();
    }
  };
  bench.Accept("13800138000,x");
  bench.clock.onIdle = [&] {
    if (!bench.presence.empty() && bench.presence.back().second) bench.state.stopRequested = true;
  };
  bench.worker.Execute();
  EXPECT_EQ(bench.Lines(), (std::vector<std::string>{"1\tqueued\t", "1\tfailed\tno answer"}));
  EXPECT_EQ(bench.Kinds("post:"), (std::vector<std::string>{"post:0"}));
}

TEST(SendWorkerWatch, AStopWhileThePortIsAwayEndsTheLoopAtOnceAndClosesWhatWaits) {
  WatchBench bench(10);
  bench.link.failReopens = 1000;
  bench.modem.edit = [&](const std::string& sent, int, std::vector<PromptModem::Chunk>& a) {
    if (sent.rfind("at+cmgs=", 0) == 0) {
      bench.link.lost = true;
      a.clear();
    }
  };
  bench.Accept("13800138000,x");
  // The program closes 100 ms after the second failed reopen.
  long stopAt = -1;
  bench.link.onReopen = [&] {
    if (bench.link.reopenedAt.size() == 2) stopAt = bench.clock.now + 100;
  };
  bench.clock.onSleep = [&] {
    if (stopAt >= 0 && bench.clock.now >= stopAt) bench.state.RequestStop();
  };
  bench.worker.Execute();
  ASSERT_GE(stopAt, 0);
  EXPECT_LE(bench.clock.now, stopAt + 250);
  EXPECT_EQ(bench.link.reopenedAt.size(), 2u);
  EXPECT_EQ(bench.Lines(), (std::vector<std::string>{"1\tqueued\t", "1\tfailed\tclosed"}));
  EXPECT_TRUE(bench.Kinds("post:").empty());
}

}  // namespace
}  // namespace varnix
