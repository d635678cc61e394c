// The worker's bench for the prompt-driven dialogue, in virtual time: a
// modem that answers each write after its own delays, as a real one does,
// and a reader clock that shares the worker's virtual time.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "support/WorkerBench.h"
#include "settings/ExtSettings.h"
#include "modem/ModemLineReader.h"

namespace varnix::testing {

// The reader's polling moves the worker's virtual clock; it is counted,
// not logged (a 60 s wait is 12000 polls).
class VirtualReaderClock final : public ReaderClock {
 public:
  explicit VirtualReaderClock(VirtualClock& clock) : clock_(clock) {}
  long sleeps = 0;
  milliseconds Now() override { return milliseconds(clock_.now); }
  void Sleep(milliseconds d) override {
    ++sleeps;
    clock_.now += static_cast<long>(d.count());
  }

 private:
  VirtualClock& clock_;
};

// Answers "at+cmgf=0" with OK, "at+cmgs=<n>" with the prompt and the PDU
// with "+CMGS: <mr>" and OK, each after its delay; `edit` may change or
// replace the answer to any write. A write purges what arrived and was not
// read yet, as the real port does; what is still on its way is not touched.
class PromptModem final : public ModemPort {
 public:
  struct Chunk {
    long after;  // ms after the write
    std::string bytes;
  };
  PromptModem(VirtualClock& clock, std::vector<Event>& log) : clock_(clock), log_(log) {}

  long modeAfter = 20;
  long promptAfter = 50;
  long resultAfter = 1500;
  int nextReference = 1;
  bool echo = false;  // as after a reset: every write comes back first
  bool failPduWrites = false;  // a write that ends in Ctrl-Z reports nothing written
  // The answer to write number `index` (from 0), to change at will.
  std::function<void(const std::string& sent, int index, std::vector<Chunk>& answer)> edit;
  long reads = 0;
  std::size_t purged = 0;  // bytes a write threw away

  // Bytes the modem sends of its own accord at virtual time `at`.
  void At(long at, std::string bytes) { pending_.emplace(at, std::move(bytes)); }

  int Send(const void* data, int count) override {
    const std::string s(static_cast<const char*>(data), static_cast<std::size_t>(count));
    log_.push_back({clock_.now, "send:" + s});
    Arrive();
    purged += waiting_.size();
    waiting_.clear();
    std::vector<Chunk> answer;
    if (s == "at+cmgf=0\r") {
      answer.push_back({modeAfter, "\r\nOK\r\n"});
    } else if (s.rfind("at+cmgs=", 0) == 0) {
      answer.push_back({promptAfter, "\r\n> "});
    } else if (!s.empty() && s.back() == '\x1a') {
      if (failPduWrites) return 0;  // nothing reached the modem
      answer.push_back(
          {resultAfter, "\r\n+CMGS: " + std::to_string(nextReference++) + "\r\n\r\nOK\r\n"});
    }
    if (echo) answer.insert(answer.begin(), {0, s});
    if (edit) edit(s, writes_, answer);
    ++writes_;
    for (const Chunk& c : answer) At(clock_.now + c.after, c.bytes);
    return 1;
  }

  int Receive(void* buffer, int max) override {
    ++reads;
    Arrive();
    const int n = std::min<int>(max, static_cast<int>(waiting_.size()));
    std::copy_n(waiting_.data(), n, static_cast<char*>(buffer));
    waiting_.erase(0, static_cast<std::size_t>(n));
    return n;
  }

 private:
  void Arrive() {
    while (!pending_.empty() && pending_.begin()->first <= clock_.now) {
      waiting_ += pending_.begin()->second;
      pending_.erase(pending_.begin());
    }
  }

  VirtualClock& clock_;
  std::vector<Event>& log_;
  std::multimap<long, std::string> pending_;  // in order of arrival, ties in order of scheduling
  std::string waiting_;
  int writes_ = 0;
};

struct PromptBench {
  Deadline deadline{"the prompt-driven worker in virtual time"};
  std::vector<Event> log;
  GatewayState state;
  VirtualClock clock{log};
  PromptModem modem{clock, log};
  VirtualReaderClock readerClock{clock};
  Utf8Codec codec;
  std::atomic<std::int32_t> delay{2000};
  ExtSettings ext;
  std::vector<MessageOutcome> outcomes;
  SendWorker worker{state, modem, clock, delay, [this] {
                      log.push_back({clock.now, "post:" + state.statusText.Get()});
                    }};

  explicit PromptBench(int parts = 0, int alphabet = 0) {
    state.portHandle = 42;
    state.codec = &codec;
    clock.onIdle = [this] {
      if (state.sendQueue.Count() == 0) state.stopRequested = true;
    };
    ext.Parts = parts;
    ext.Alphabet = alphabet;
    ext.Dialogue = 1;
    worker.SetExtensions(ext, &readerClock);
    worker.SetOnOutcome([this](const MessageOutcome& o) { outcomes.push_back(o); });
  }
  QueuedMessage Entry(std::string entry) const { return Decoded(std::move(entry), codec); }
  std::vector<std::string> Kinds(const std::string& prefix) const {
    std::vector<std::string> out;
    for (const Event& e : log)
      if (e.what.rfind(prefix, 0) == 0) out.push_back(e.what);
    return out;
  }
  std::vector<std::string> Sends() const {
    std::vector<std::string> out;
    for (const std::string& s : Kinds("send:")) out.push_back(s.substr(5));
    return out;
  }
};

}  // namespace varnix::testing
