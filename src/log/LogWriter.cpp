#include "log/LogWriter.h"

#include <utility>

namespace varnix {

LogWriter::LogWriter(LogFiles& files, const LogClock& clock, std::string service, int keepDays,
                     std::size_t capacity)
    : files_(files),
      clock_(clock),
      service_(std::move(service)),
      keepDays_(keepDays),
      capacity_(capacity == 0 ? 1 : capacity) {}

LogWriter::~LogWriter() {
  Stop();
}

void LogWriter::Line(std::string text) {
  Stamped line{clock_.Now(), std::move(text)};
  {
    std::lock_guard lock(mutex_);
    if (stopping_) return;
    if (queue_.size() >= capacity_) {
      ++dropped_;
      return;
    }
    queue_.push_back(std::move(line));
  }
  wake_.notify_one();
}

void LogWriter::Start() {
  std::lock_guard lock(mutex_);
  if (thread_.joinable() || stopping_) return;
  thread_ = std::thread([this] { Run(); });
}

void LogWriter::Stop() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_one();
  if (thread_.joinable()) thread_.join();
}

void LogWriter::Run() {
  for (;;) {
    {
      std::unique_lock lock(mutex_);
      wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
      if (queue_.empty() && stopping_) return;
    }
    WriteQueued();
  }
}

void LogWriter::WriteQueued() {
  std::vector<Stamped> batch;
  std::size_t dropped = 0;
  {
    std::lock_guard lock(mutex_);
    batch.assign(std::make_move_iterator(queue_.begin()), std::make_move_iterator(queue_.end()));
    queue_.clear();
    std::swap(dropped, dropped_);
  }
  std::lock_guard writing(writing_);
  lost_ += dropped;
  Write(batch);
}

void LogWriter::Write(std::vector<Stamped>& batch) {
  // Lines of one day go out in one append: one open and one write for a
  // whole burst of the modem dialogue.
  std::size_t i = 0;
  while (i < batch.size()) {
    const LogDate day = DateOf(batch[i].time);
    if (!haveDay_ || !(day == day_)) {
      // Removal goes by the files' own dates, so a clock set back does not
      // remove today's file.
      day_ = day;
      haveDay_ = true;
      RemoveOld(day);
    }
    std::string bytes;
    if (lost_ > 0) {
      bytes = StampedLine(batch[i].time, "log: " + std::to_string(lost_) + " lines lost");
    }
    std::size_t n = 0;
    for (; i < batch.size() && DateOf(batch[i].time) == day; ++i, ++n) {
      bytes += StampedLine(batch[i].time, batch[i].text);
    }
    if (files_.Append(LogFileName(service_, day), bytes)) {
      lost_ = 0;
    } else {
      lost_ += n;
    }
  }
}

void LogWriter::RemoveOld(const LogDate& today) {
  const long now = DayNumber(today);
  for (const std::string& name : files_.List()) {
    const std::optional<LogDate> date = DateOfLogFile(service_, name);
    if (date && now - DayNumber(*date) > keepDays_) files_.Remove(name);
  }
}

std::size_t LogWriter::Lost() const {
  std::size_t dropped;
  {
    std::lock_guard lock(mutex_);
    dropped = dropped_;
  }
  std::lock_guard writing(writing_);
  return lost_ + dropped;
}

}  // namespace varnix
