// A small reader over libFuzzer's input: every fuzzer takes its choices
// (sizes, flags, item indices) from the front of the data and the payloads
// from what follows, so that the committed seeds stay readable.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace varnix::fuzz {

class FuzzInput {
 public:
  FuzzInput(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  bool Empty() const { return pos_ >= size_; }
  std::size_t Left() const { return size_ - pos_; }

  std::uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  std::uint16_t Word() {
    const std::uint16_t lo = Byte();
    return static_cast<std::uint16_t>(lo | (Byte() << 8));
  }
  std::uint32_t Dword() {
    const std::uint32_t lo = Word();
    return lo | (static_cast<std::uint32_t>(Word()) << 16);
  }
  // Up to `max` bytes, fewer when the input ends first.
  std::string Bytes(std::size_t max) {
    const std::size_t n = max < Left() ? max : Left();
    std::string s(reinterpret_cast<const char*>(data_ + pos_), n);
    pos_ += n;
    return s;
  }
  std::string Rest() { return Bytes(Left()); }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
};

// A broken property: say which and stop, so that libFuzzer keeps the input.
[[noreturn]] inline void Fail(const char* what, const std::string& detail = {}) {
  std::fprintf(stderr, "property violated: %s %s\n", what, detail.c_str());
  std::abort();
}

#define FUZZ_CHECK(cond, ...) \
  do {                        \
    if (!(cond)) ::varnix::fuzz::Fail(#cond, ##__VA_ARGS__); \
  } while (0)

}  // namespace varnix::fuzz
