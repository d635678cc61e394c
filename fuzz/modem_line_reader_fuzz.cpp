// The modem line reader against a port that hands out fuzzed chunks at
// fuzzed moments, in virtual time, through the dialogue of one message
// part: "at+cmgf=0", "at+cmgs=", the PDU.
//
// Input: per chunk one byte (bits 0-5: 0..63 bytes; bit 6: they arrive 0
// to 255 ms later, from the next byte; bit 7: they are handed out one per
// read) followed by the bytes. When the script ends every further read
// finds nothing.
#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>

#include "FuzzInput.h"
#include "modem/ModemLineReader.h"

using namespace varnix;
using varnix::fuzz::FuzzInput;
using std::chrono::milliseconds;

namespace {

class VirtualClock final : public ReaderClock {
 public:
  milliseconds now{0};
  milliseconds Now() override { return now; }
  void Sleep(milliseconds d) override {
    FUZZ_CHECK(d.count() > 0 && d <= milliseconds(5), std::to_string(d.count()));
    now += d;
  }
};

class ScriptedPort final : public ModemPort {
 public:
  ScriptedPort(FuzzInput& script, VirtualClock& clock) : script_(script), clock_(clock) {}

  int Send(const void*, int count) override {
    FUZZ_CHECK(count > 0);
    ++sends;
    return 1;
  }

  int Receive(void* buffer, int max) override {
    FUZZ_CHECK(max > 0);
    if (pending_.empty()) {
      if (script_.Empty()) return 0;
      const std::uint8_t op = script_.Byte();
      due_ = clock_.now + milliseconds((op & 0x40) ? script_.Byte() : 0);
      pending_ = script_.Bytes(op & 0x3F);
      bytewise_ = (op & 0x80) != 0;
    }
    if (clock_.now < due_) return 0;
    std::size_t n = pending_.size() < static_cast<std::size_t>(max) ? pending_.size()
                                                                     : static_cast<std::size_t>(max);
    if (bytewise_ && n > 1) n = 1;
    std::memcpy(buffer, pending_.data(), n);
    pending_.erase(0, n);
    return static_cast<int>(n);
  }
  int sends = 0;

 private:
  FuzzInput& script_;
  VirtualClock& clock_;
  std::string pending_;
  bool bytewise_ = false;
  milliseconds due_{0};
};

void CheckAnswer(const ModemAnswer& a, milliseconds timeout, bool promptAllowed,
                 const ReaderLimits& limits) {
  FUZZ_CHECK(a.elapsed >= milliseconds(0) && a.elapsed <= timeout, std::to_string(a.elapsed.count()));
  FUZZ_CHECK(a.information.size() <= limits.maxInformation);
  for (const std::string& line : a.information) {
    FUZZ_CHECK(!line.empty() && line.size() <= limits.maxLineBytes);
    FUZZ_CHECK(line.find_first_of("\r\n") == std::string::npos);
  }
  switch (a.result) {
    case ModemResult::kTimeout:
      FUZZ_CHECK(a.elapsed == timeout && a.finalLine.empty());
      break;
    case ModemResult::kPrompt:
      FUZZ_CHECK(promptAllowed && a.finalLine == "> ");
      break;
    case ModemResult::kOk:
      FUZZ_CHECK(ClassifyLine(a.finalLine) == LineKind::kOk, a.finalLine);
      break;
    case ModemResult::kError:
      FUZZ_CHECK(ClassifyLine(a.finalLine) == LineKind::kError, a.finalLine);
      break;
    case ModemResult::kCmsError:
      FUZZ_CHECK(ClassifyLine(a.finalLine) == LineKind::kCmsError, a.finalLine);
      break;
    case ModemResult::kCmeError:
      FUZZ_CHECK(ClassifyLine(a.finalLine) == LineKind::kCmeError, a.finalLine);
      break;
  }
  FUZZ_CHECK(a.Sent() == (a.result == ModemResult::kOk && a.messageReference >= 0));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzInput in(data, size);
  VirtualClock clock;
  ScriptedPort port(in, clock);
  ReaderLimits limits;
  limits.maxLineBytes = 48;  // small, so that the fuzzer reaches the bounds
  limits.maxUnsolicited = 4;
  limits.maxInformation = 3;
  ModemLineReader reader(port, clock, limits);

  const milliseconds shortWait(300), longWait(900);
  reader.Send("at+cmgf=0\r");
  CheckAnswer(reader.WaitFinalResult(shortWait), shortWait, false, limits);
  reader.Send("at+cmgs=20\r");
  CheckAnswer(reader.WaitPromptOrResult(shortWait), shortWait, true, limits);
  reader.Send("0011000BC12143658709F10008AA06006100620063\x1a");
  CheckAnswer(reader.WaitFinalResult(longWait), longWait, false, limits);
  FUZZ_CHECK(port.sends == 3);

  const auto codes = reader.TakeUnsolicited();
  FUZZ_CHECK(codes.size() <= limits.maxUnsolicited);
  for (const UnsolicitedCode& c : codes) {
    FUZZ_CHECK(ClassifyLine(c.line) == LineKind::kUnsolicited, c.line);
    FUZZ_CHECK(c.line.size() <= limits.maxLineBytes && c.body.size() <= limits.maxLineBytes);
  }
  FUZZ_CHECK(reader.TakeUnsolicited().empty());
  return 0;
}
