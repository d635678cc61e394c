#include "gateway/GatewayState.h"

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <thread>

#include "support/Deadline.h"

namespace varnix {
namespace {

using namespace std::chrono_literals;
using testing::JoinWithin;
using testing::Within;

// The queue does not look into its messages: the number tells them apart.
QueuedMessage Message(std::string number) { return QueuedMessage{0, std::move(number), {}, {}, false}; }
std::optional<std::string> TakeFirst(SendQueue& q) {
  std::optional<QueuedMessage> m = q.TakeNext();
  return m ? std::optional<std::string>(m->number) : std::nullopt;
}

TEST(SendQueue, FifoWithDuplicatesAndRelease) {
  SendQueue q;
  EXPECT_EQ(TakeFirst(q), std::nullopt);
  for (const char* e : {"1,a", "2,b", "1,a"}) EXPECT_TRUE(q.Append(Message(e)));
  EXPECT_EQ(q.Count(), 3u);
  EXPECT_EQ(TakeFirst(q), "1,a");
  EXPECT_EQ(TakeFirst(q), "2,b");
  EXPECT_EQ(TakeFirst(q), "1,a");
  EXPECT_EQ(q.Count(), 0u);

  q.Append(Message("3,c"));
  q.Release();
  EXPECT_TRUE(q.Released());
  EXPECT_EQ(q.Count(), 0u);  // what was still waiting is dropped
  EXPECT_FALSE(q.Append(Message("4,d")));
  EXPECT_EQ(TakeFirst(q), std::nullopt);
}

TEST(SendQueue, OneProducerOneConsumerKeepEveryEntryInOrder) {
  // The two threads share nothing but the queue: the producer's counter and
  // the consumer's checks are each one thread's own.
  SendQueue q;
  constexpr int kEntries = 200000;
  int expected = 0;
  bool inOrder = true;
  Within("the consumer to take every entry", [&] {
    std::thread producer([&q] {
      for (int i = 0; i < kEntries; ++i) q.Append(Message(std::to_string(i) + ",x"));
    });
    while (expected < kEntries) {
      if (auto e = TakeFirst(q)) {
        inOrder = inOrder && *e == std::to_string(expected) + ",x";
        ++expected;
      } else {
        q.WaitForEntry(10ms);
      }
    }
    producer.join();
  });
  EXPECT_EQ(expected, kEntries);
  EXPECT_TRUE(inOrder);
  EXPECT_EQ(q.Count(), 0u);
}

TEST(SendQueue, WaitEndsOnAppendWakeAndRelease) {
  const std::pair<const char*, std::function<void(SendQueue&)>> kinds[] = {
      {"append", [](SendQueue& q) { q.Append(Message("1,a")); }},
      {"wake", [](SendQueue& q) { q.Wake(); }},
      {"release", [](SendQueue& q) { q.Release(); }},
  };
  for (const auto& [name, poke] : kinds) {
    SCOPED_TRACE(name);
    SendQueue q;
    std::atomic<bool> returned{false};
    std::thread waiter([&] {
      q.WaitForEntry(std::chrono::hours(1));
      returned = true;
    });
    std::this_thread::sleep_for(20ms);
    EXPECT_FALSE(returned.load());
    poke(q);
    JoinWithin(waiter, std::string("the wait to end on ") + name);
    EXPECT_TRUE(returned.load());
  }
  // With an entry waiting the wait returns at once; otherwise after the limit.
  SendQueue q;
  q.Append(Message("1,a"));
  const auto t0 = std::chrono::steady_clock::now();
  Within("a wait with an entry waiting", [&] { q.WaitForEntry(std::chrono::hours(1)); });
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 10s);
  SendQueue empty;
  empty.WaitForEntry(1ms);
}

TEST(GatewayState, StatusTextHandOverAndStop) {
  GatewayState state;
  EXPECT_EQ(state.statusText.Get(), "");
  EXPECT_EQ(state.portHandle, kNoPort);
  EXPECT_FALSE(state.stopRequested.load());

  std::thread writer([&] {
    for (int i = 0; i < 20000; ++i) state.statusText.Set(i % 2 ? "1" : "0");
  });
  bool onlyWhole = true;
  for (int i = 0; i < 20000; ++i) {
    const std::string v = state.statusText.Get();
    onlyWhole = onlyWhole && (v.empty() || v == "0" || v == "1");
  }
  JoinWithin(writer, "the status writer");
  EXPECT_TRUE(onlyWhole);

  // Whether the stop comes before or during the wait, the wait ends.
  std::thread idle([&] { state.sendQueue.WaitForEntry(std::chrono::hours(1)); });
  state.RequestStop();
  JoinWithin(idle, "an idle wait to end on the stop");
  Within("a wait after the stop", [&] { state.sendQueue.WaitForEntry(std::chrono::hours(1)); });
  EXPECT_TRUE(state.stopRequested.load());
}

}  // namespace
}  // namespace varnix
