#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <future>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "log/LogWriter.h"

namespace varnix {
namespace {

using namespace std::chrono_literals;

// The log folder in memory. Append can be made to fail, or to wait at a
// gate (bounded, so that a fault fails the test instead of hanging it).
class FakeFiles final : public LogFiles {
 public:
  bool Append(const std::string& name, std::string_view bytes) override {
    std::unique_lock lock(mutex_);
    ++appends;
    entered_.notify_all();
    gate_.wait_for(lock, 5s, [this] { return open_; });
    if (failing) return false;
    files[name] += bytes;
    return true;
  }
  std::vector<std::string> List() override {
    std::lock_guard lock(mutex_);
    std::vector<std::string> names;
    for (const auto& [name, bytes] : files) names.push_back(name);
    return names;
  }
  bool Remove(const std::string& name) override {
    std::lock_guard lock(mutex_);
    return files.erase(name) == 1;
  }
  void Close() {
    std::lock_guard lock(mutex_);
    open_ = false;
  }
  void Open() {
    {
      std::lock_guard lock(mutex_);
      open_ = true;
    }
    gate_.notify_all();
  }
  bool WaitForAppend(int count) {
    std::unique_lock lock(mutex_);
    return entered_.wait_for(lock, 5s, [&] { return appends >= count; });
  }
  std::string Text(const std::string& name) {
    std::lock_guard lock(mutex_);
    return files.count(name) ? files[name] : std::string("<none>");
  }

  std::map<std::string, std::string> files;
  bool failing = false;
  int appends = 0;

 private:
  std::mutex mutex_;
  std::condition_variable gate_, entered_;
  bool open_ = true;
};

class FakeClock final : public LogClock {
 public:
  LocalTime Now() const override { return now; }
  LocalTime now{2026, 12, 8, 10, 0, 0, 0};
};

TEST(LogWriter, DayFilesAndTheRemovalOfOldOnes) {
  FakeFiles files;
  files.files = {{"Varnix-2026-11-30.log", "old\r\n"},   // 8 days before
                 {"Varnix-2026-12-01.log", "kept\r\n"},  // 7 days before
                 {"Varnix2-2026-01-01.log", ""},         // another service's
                 {"Varnix-notes.log", ""},
                 {"Varnix-2026-12-08.log", "earlier\r\n"}};
  FakeClock clock;
  LogWriter writer(files, clock, "Varnix", 7);
  clock.now.millisecond = 5;
  writer.Line("start-up");
  clock.now.second = 1;
  writer.Line(StateLine({1, MessageState::kQueued, ""}));
  writer.WriteQueued();

  EXPECT_EQ(files.Text("Varnix-2026-12-08.log"),
            "earlier\r\n"
            "2026-12-08 10:00:00.005 start-up\r\n"
            "2026-12-08 10:00:01.005 message 1 queued\r\n");
  EXPECT_EQ(files.files.count("Varnix-2026-11-30.log"), 0u);
  EXPECT_EQ(files.files.count("Varnix-2026-12-01.log"), 1u);
  EXPECT_EQ(files.files.count("Varnix2-2026-01-01.log"), 1u);
  EXPECT_EQ(files.files.count("Varnix-notes.log"), 1u);

  // Midnight: the next line opens the next day's file, and the day that is
  // now eight days back goes. One batch may straddle midnight.
  clock.now = {2026, 12, 8, 23, 59, 59, 999};
  writer.Line("last of the day");
  clock.now = {2026, 12, 9, 0, 0, 0, 0};
  writer.Line("first of the next");
  writer.WriteQueued();
  EXPECT_NE(files.Text("Varnix-2026-12-08.log").find("23:59:59.999 last of the day\r\n"),
            std::string::npos);
  EXPECT_EQ(files.Text("Varnix-2026-12-09.log"), "2026-12-09 00:00:00.000 first of the next\r\n");
  EXPECT_EQ(files.files.count("Varnix-2026-12-01.log"), 0u);
  EXPECT_EQ(files.files.count("Varnix-2026-12-08.log"), 1u);
}

TEST(LogWriter, AFailingFileLosesLinesAndTheNoteComesAfter) {
  FakeFiles files;
  FakeClock clock;
  LogWriter writer(files, clock, "Varnix", 3);
  files.failing = true;
  writer.Line("one");
  writer.Line("two");
  writer.WriteQueued();
  writer.Line("three");
  writer.WriteQueued();
  EXPECT_EQ(writer.Lost(), 3u);
  EXPECT_EQ(files.Text("Varnix-2026-12-08.log"), "<none>");

  files.failing = false;
  clock.now.second = 9;
  writer.Line("four");
  writer.WriteQueued();
  EXPECT_EQ(files.Text("Varnix-2026-12-08.log"),
            "2026-12-08 10:00:09.000 log: 3 lines lost\r\n"
            "2026-12-08 10:00:09.000 four\r\n");
  EXPECT_EQ(writer.Lost(), 0u);

  // The queue is bounded: what does not fit is counted, never waited for.
  LogWriter small(files, clock, "Small", 3, 2);
  for (const char* text : {"a", "b", "c", "d"}) small.Line(text);
  EXPECT_EQ(small.Lost(), 2u);
  small.WriteQueued();
  EXPECT_EQ(files.Text("Small-2026-12-08.log"),
            "2026-12-08 10:00:09.000 log: 2 lines lost\r\n"
            "2026-12-08 10:00:09.000 a\r\n"
            "2026-12-08 10:00:09.000 b\r\n");
}

TEST(LogWriter, ADiskThatHangsNeverHoldsUpTheCaller) {
  FakeFiles files;
  FakeClock clock;
  LogWriter writer(files, clock, "Varnix", 3, 4);
  writer.Start();
  files.Close();
  writer.Line("stuck");
  ASSERT_TRUE(files.WaitForAppend(1));  // the thread now waits in Append

  auto calls = std::async(std::launch::async, [&] {
    for (int i = 0; i < 10; ++i) writer.Line("line " + std::to_string(i));
  });
  ASSERT_EQ(calls.wait_for(2s), std::future_status::ready) << "Line waited for the disk";
  files.Open();
  auto stop = std::async(std::launch::async, [&] { writer.Stop(); });
  ASSERT_EQ(stop.wait_for(5s), std::future_status::ready);

  EXPECT_EQ(files.Text("Varnix-2026-12-08.log"),
            "2026-12-08 10:00:00.000 stuck\r\n"
            "2026-12-08 10:00:00.000 log: 6 lines lost\r\n"
            "2026-12-08 10:00:00.000 line 0\r\n"
            "2026-12-08 10:00:00.000 line 1\r\n"
            "2026-12-08 10:00:00.000 line 2\r\n"
            "2026-12-08 10:00:00.000 line 3\r\n");
}

TEST(LogWriter, StopWritesWhatWasQueuedAndRefusesMore) {
  FakeFiles files;
  FakeClock clock;
  LogWriter writer(files, clock, "Varnix", 3);
  files.Close();  // hold the thread so that lines pile up before the stop
  writer.Start();
  writer.Line("first");
  ASSERT_TRUE(files.WaitForAppend(1));
  for (int i = 0; i < 100; ++i) writer.Line("x");
  auto stop = std::async(std::launch::async, [&] { writer.Stop(); });
  files.Open();
  ASSERT_EQ(stop.wait_for(5s), std::future_status::ready);
  writer.Line("after the stop");
  writer.WriteQueued();

  const std::string text = files.Text("Varnix-2026-12-08.log");
  std::size_t lines = 0;
  for (std::size_t at = text.find("\r\n"); at != std::string::npos; at = text.find("\r\n", at + 2))
    ++lines;
  EXPECT_EQ(lines, 101u);
  EXPECT_EQ(text.find("after the stop"), std::string::npos);
  EXPECT_EQ(writer.Lost(), 0u);
}

}  // namespace
}  // namespace varnix
