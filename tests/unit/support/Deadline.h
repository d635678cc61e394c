// A bound on anything a test waits for: a join, a condition wait, a loop
// that waits for another thread, a worker loop run in virtual time. A lost
// wake-up or an ignored stop then fails within seconds instead of hanging
// the run.
//
// A blocked thread cannot be taken back safely (it still uses the test's
// objects), so past the bound the process ends at once with a message that
// names the test and the wait; ctest and the Wine runner both count that as
// a failure.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

namespace varnix::testing {

// Generous for Wine and the sanitizers on a shared machine, short next to
// any test run's own time-out.
inline constexpr std::chrono::seconds kWaitBound{10};

class Deadline {
 public:
  explicit Deadline(std::string what, std::chrono::milliseconds limit = kWaitBound)
      : what_(std::move(what)) {
    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    if (info) test_ = std::string(info->test_suite_name()) + "." + info->name();
    watchdog_ = std::thread([this, limit] {
      std::unique_lock lock(mutex_);
      if (cv_.wait_for(lock, limit, [this] { return done_; })) return;
      std::fprintf(stderr, "\n[  HANG  ] %s: \"%s\" still waiting after %lld ms\n", test_.c_str(),
                   what_.c_str(), static_cast<long long>(limit.count()));
      std::fflush(stderr);
      std::_Exit(3);
    });
  }
  ~Deadline() {
    {
      std::lock_guard lock(mutex_);
      done_ = true;
    }
    cv_.notify_all();
    watchdog_.join();
  }
  Deadline(const Deadline&) = delete;
  Deadline& operator=(const Deadline&) = delete;

 private:
  std::string what_;
  std::string test_;
  std::mutex mutex_;
  std::condition_variable cv_;
  bool done_ = false;
  std::thread watchdog_;
};

// Runs `body` (a join, a wait, a whole loop) under a Deadline.
template <typename Body>
void Within(const std::string& what, Body&& body,
            std::chrono::milliseconds limit = kWaitBound) {
  Deadline deadline(what, limit);
  std::forward<Body>(body)();
}

inline void JoinWithin(std::thread& thread, const std::string& what,
                       std::chrono::milliseconds limit = kWaitBound) {
  Within(what, [&] { thread.join(); }, limit);
}

}  // namespace varnix::testing
