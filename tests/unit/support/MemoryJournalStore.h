// An in-memory journal file for the journal's tests and its fuzzer: it can
// tear an append after any byte (a power cut in the middle of a write),
// refuse writes, lose a replacement (a crash before the atomic rename), and
// have a byte corrupted.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "outbox/Journal.h"

namespace varnix::testing {

class MemoryJournalStore final : public JournalStore {
 public:
  std::string bytes;
  bool readFails = false;
  // The next Append writes only this many of its bytes and fails.
  std::optional<std::size_t> tearNextAppendAt;
  bool failAppends = false;   // write nothing and fail
  bool failReplaces = false;  // keep the old bytes and fail
  int appends = 0;            // calls that succeeded
  int replaces = 0;

  void CorruptByte(std::size_t at, unsigned char mask = 0x01) {
    bytes[at] = static_cast<char>(static_cast<unsigned char>(bytes[at]) ^ mask);
  }

  std::optional<std::string> ReadAll() override {
    if (readFails) return std::nullopt;
    return bytes;
  }
  bool Append(std::string_view data) override {
    if (tearNextAppendAt) {
      const std::size_t keep = *tearNextAppendAt < data.size() ? *tearNextAppendAt : data.size();
      tearNextAppendAt.reset();
      bytes.append(data.substr(0, keep));
      return false;
    }
    if (failAppends) return false;
    bytes.append(data);
    ++appends;
    return true;
  }
  bool Replace(std::string_view data) override {
    if (failReplaces) return false;
    bytes.assign(data);
    ++replaces;
    return true;
  }
};

}  // namespace varnix::testing
