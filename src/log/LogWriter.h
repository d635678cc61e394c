// The log's writer: a bounded queue of stamped lines and one thread of its
// own that appends them to the day's file. Callers never wait for the disk:
// a line that finds the queue full is dropped and counted, and so is one
// that cannot be written (a full disk, a locked file, a folder gone or
// read-only). The next line that can be written is preceded by a note of
// how many were lost.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "log/LogLine.h"
#include "log/LogSink.h"

namespace varnix {

// The log folder. Used by the writer's thread only.
class LogFiles {
 public:
  virtual ~LogFiles() = default;
  // Appends `bytes` to the file `name` in the folder, creating both as
  // needed. All or nothing as far as the caller can tell: false when any
  // part of it failed.
  virtual bool Append(const std::string& name, std::string_view bytes) = 0;
  // The names of the files in the folder.
  virtual std::vector<std::string> List() = 0;
  virtual bool Remove(const std::string& name) = 0;
};

class LogClock {
 public:
  virtual ~LogClock() = default;
  virtual LocalTime Now() const = 0;
};

class LogWriter final : public LogSink {
 public:
  static constexpr std::size_t kDefaultCapacity = 4096;

  // Keeps the day files of `service` for `keepDays` days (files dated more
  // than that many days before the current line's day are removed).
  LogWriter(LogFiles& files, const LogClock& clock, std::string service, int keepDays,
            std::size_t capacity = kDefaultCapacity);
  ~LogWriter() override;  // Stop
  LogWriter(const LogWriter&) = delete;
  LogWriter& operator=(const LogWriter&) = delete;

  // Stamps the line now and queues it; after Stop, drops it.
  void Line(std::string text) override;

  // Runs the writing on a thread of its own.
  void Start();
  // Refuses new lines, lets the thread write what was queued (at most the
  // queue's capacity, so the wait is bounded) and joins it.
  void Stop();

  // Writes everything queued now, on the caller's thread. The thread does
  // this each time it wakes; tests call it without Start.
  void WriteQueued();

  // Lines dropped or not written since the last note.
  std::size_t Lost() const;

 private:
  struct Stamped {
    LocalTime time;
    std::string text;
  };
  void Run();
  void Write(std::vector<Stamped>& batch);
  void RemoveOld(const LogDate& today);

  LogFiles& files_;
  const LogClock& clock_;
  const std::string service_;
  const int keepDays_;
  const std::size_t capacity_;

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Stamped> queue_;
  std::size_t dropped_ = 0;  // full queue, since the thread last took the count
  bool stopping_ = false;
  std::thread thread_;

  // The writing side (one thread at a time).
  mutable std::mutex writing_;
  std::size_t lost_ = 0;
  bool haveDay_ = false;
  LogDate day_;
};

}  // namespace varnix
