// The worker on a real thread: wake-ups, the stop and Finished().
#include "gateway/SendWorker.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

#include "message/ClientMessage.h"
#include "support/Deadline.h"
#include "support/Utf8Codec.h"

namespace varnix {
namespace {

using namespace varnix::testing;
using std::chrono::milliseconds;

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
  SendWorker worker(state, modem, clock, delay, [&] { ++posts; });
  std::atomic<bool> finishedCalled{false};
  worker.SetOnFinished([&] { finishedCalled = true; });
  worker.Start();

  const auto t0 = std::chrono::steady_clock::now();
  state.sendQueue.Append(Decode(ClientMessage{0, "12345678901,hello", false, {}}, &codec));
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
    std::atomic<std::int32_t> delay{0};
    SendWorker worker(state, modem, clock, delay, nullptr);
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
