// The worker's bench in virtual time: a scripted modem on one side, a clock
// that only counts on the other, so every pause and byte is checked exactly.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <deque>
#include <functional>
#include <new>
#include <string>
#include <vector>

#include "support/Deadline.h"
#include "support/Utf8Codec.h"
#include "gateway/SendWorker.h"
#include "message/ClientMessage.h"

namespace varnix::testing {

using std::chrono::milliseconds;

struct Event {
  long at;           // virtual ms
  std::string what;  // "send:<bytes>", "sleep:<ms>", "idle:<ms>", "read:<n>", "post:<status>"
  bool operator==(const Event&) const = default;
};
inline void PrintTo(const Event& e, std::ostream* os) {
  *os << e.at << " " << ::testing::PrintToString(e.what);
}

class VirtualClock final : public WorkerClock {
 public:
  explicit VirtualClock(std::vector<Event>& log) : log_(log) {}
  long now = 0;
  std::function<void()> onIdle;  // e.g. stop the loop once the queue is drained

  milliseconds Now() const override { return milliseconds(now); }

  std::function<void()> onSleep;  // after each pause

  void Sleep(milliseconds d) override {
    log_.push_back({now, "sleep:" + std::to_string(d.count())});
    now += static_cast<long>(d.count());
    if (onSleep) onSleep();
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

// An entry "number,text" decoded through `codec`, as a poke's is where it
// is accepted.
inline QueuedMessage Decoded(std::string entry, const AnsiCodec& codec) {
  ClientMessage client;
  client.entry = std::move(entry);
  return Decode(std::move(client), &codec);
}

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
  Utf8Codec utf8_;
};

struct Bench {
  // Virtual time costs nothing, so a worker loop that ignores its stop or a
  // read loop without its bound shows up as a hang: bound the whole bench.
  Deadline deadline{"the worker in virtual time"};
  std::vector<Event> log;
  GatewayState state;
  VirtualClock clock{log};
  ScriptedModem modem{clock, log};
  FailingCodec codec;
  std::atomic<std::int32_t> delay{2000};
  SendWorker worker{state, modem, clock, delay, [this] {
                      log.push_back({clock.now, "post:" + state.statusText.Get()});
                    }};

  Bench() {
    state.portHandle = 42;
    state.codec = &codec;
    clock.onIdle = [this] {
      if (state.sendQueue.Count() == 0) state.stopRequested = true;
    };
  }
  QueuedMessage Entry(std::string entry) const { return Decoded(std::move(entry), codec); }
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

inline const std::string kCompleteReply = "\r\n+CMGS: 12\r\n\r\nOK\r\n";
inline const std::string kPdu = "0011000BC12143658709F10008AA06006100620063";

// The events of one message (the dialogue after the previous post, up to
// and with its own post), with times counted from the first of them.
inline std::vector<Event> MessageEvents(const std::vector<Event>& log, std::size_t message) {
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

}  // namespace varnix::testing
