// The outbox journal's costs on a real file (native; not a test):
//   (a) Accepted of one message, appended and flushed (fsync): what every
//       poke waits for with Outbox on;
//   (b) Load of a journal of 10,000 messages: the start-up delay.
//
//   journal_bench [folder]    default: the current folder (use a real disk:
//                             a tmpfs makes fsync free)
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "outbox/Journal.h"

namespace {

using namespace varnix;
using Clock = std::chrono::steady_clock;

// The POSIX counterpart of the Windows store: write + fsync, a replacement
// by a flushed temporary file renamed over the journal.
class PosixJournalFile final : public JournalStore {
 public:
  explicit PosixJournalFile(std::string path) : path_(std::move(path)) {}
  ~PosixJournalFile() override { Close(); }

  std::optional<std::string> ReadAll() override {
    const int fd = ::open(path_.c_str(), O_RDONLY);
    if (fd < 0) return std::string();
    std::string bytes;
    char buf[1 << 16];
    for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;) bytes.append(buf, std::size_t(n));
    ::close(fd);
    return bytes;
  }
  bool Append(std::string_view bytes) override {
    if (fd_ < 0) fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    return fd_ >= 0 && WriteAll(fd_, bytes) && (!flush || ::fsync(fd_) == 0);
  }
  bool Replace(std::string_view bytes) override {
    Close();
    const std::string temp = path_ + ".tmp";
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) return false;
    const bool ok = WriteAll(fd, bytes) && (!flush || ::fsync(fd) == 0);
    ::close(fd);
    return ok && ::rename(temp.c_str(), path_.c_str()) == 0;
  }

  bool flush = true;

 private:
  static bool WriteAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
      const ssize_t n = ::write(fd, bytes.data(), bytes.size());
      if (n <= 0) return false;
      bytes.remove_prefix(std::size_t(n));
    }
    return true;
  }
  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

  std::string path_;
  int fd_ = -1;
};

double Micros(Clock::duration d) {
  return std::chrono::duration<double, std::micro>(d).count();
}

void Report(const char* what, std::vector<double> us) {
  std::sort(us.begin(), us.end());
  double sum = 0;
  for (double u : us) sum += u;
  std::printf("%-52s n=%-5zu median %9.1f us  mean %9.1f us  p95 %9.1f us\n", what, us.size(),
              us[us.size() / 2], sum / double(us.size()), us[us.size() * 95 / 100]);
}

ClientMessage Message(MessageId id) {
  return ClientMessage{id, "13800138000,Your parcel " + std::to_string(id) +
                               " is waiting at the front desk until 18:00 today.",
                       false, {}};
}

}  // namespace

int main(int argc, char** argv) {
  const std::string folder = argc > 1 ? argv[1] : ".";
  const std::string path = folder + "/journal_bench.journal";

  {  // (a) one accepted record, appended and flushed
    ::unlink(path.c_str());
    PosixJournalFile file(path);
    Journal journal(file);
    journal.Load();
    std::vector<double> us;
    for (MessageId id = 1; id <= 300; ++id) {
      const auto t0 = Clock::now();
      if (!journal.Accepted(Message(id))) return std::fprintf(stderr, "append failed\n"), 1;
      us.push_back(Micros(Clock::now() - t0));
    }
    Report("(a) Accepted, append + fsync", us);
    file.flush = false;
    us.clear();
    for (MessageId id = 301; id <= 600; ++id) {
      const auto t0 = Clock::now();
      journal.Accepted(Message(id));
      us.push_back(Micros(Clock::now() - t0));
    }
    Report("    the same without fsync (format + write)", us);
  }

  // (b) 10,000 messages: waiting (A), or under way with one part sent and
  // the second going out (A S G G...), or all finished and not compacted.
  struct Shape {
    const char* name;
    int steps;
  };
  for (const Shape shape : {Shape{"(b) Load, 10,000 waiting messages", 0},
                            Shape{"    Load, 10,000 with a part sent, one going out", 1},
                            Shape{"    Load, 10,000 finished, not compacted", 2}}) {
    ::unlink(path.c_str());
    std::size_t bytes = 0;
    {
      PosixJournalFile file(path);
      file.flush = false;
      Journal journal(file, CompactionLimits{~std::size_t{0}, 4});
      journal.Load();
      for (MessageId id = 1; id <= 10000; ++id) {
        journal.Accepted(Message(id));
        if (shape.steps >= 1) {
          journal.PartGoingOut(id, 1);
          journal.PartSent(id, 1, int(id % 256));
          journal.PartGoingOut(id, 2);
        }
        if (shape.steps == 2) {
          journal.PartSent(id, 2, int((id + 1) % 256));
          journal.Finished(id, MessageState::kSent, "1 2");
        }
      }
      bytes = journal.FileBytes();
    }
    std::vector<double> us;
    std::size_t recovered = 0;
    for (int run = 0; run < 7; ++run) {
      PosixJournalFile file(path);
      Journal journal(file, CompactionLimits{~std::size_t{0}, 4});
      const auto t0 = Clock::now();
      recovered = journal.Load().messages.size();
      us.push_back(Micros(Clock::now() - t0));
    }
    Report(shape.name, us);
    std::printf("%-52s %zu bytes, %zu messages recovered\n", "", bytes, recovered);
  }
  ::unlink(path.c_str());
  return 0;
}
