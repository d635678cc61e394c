#include "modem/ModemLineReader.h"

#include <algorithm>
#include <thread>

namespace varnix {

using std::chrono::milliseconds;

namespace {

constexpr char kCtrlZ = 0x1A;
constexpr char kEsc = 0x1B;
constexpr std::string_view kPrompt = "> ";
// Reads of what is already waiting: before a command goes out, and at a
// wait's deadline.
constexpr int kLastLookChunks = 64;

// Codes a modem sends of its own accord. "^" starts every vendor report
// (^RSSI:, ^BOOT:, ^MODE:, ^HCSQ: ...), so it stands for all of them.
constexpr std::string_view kUnsolicitedPrefixes[] = {
    "+CMTI:", "+CMT:", "+CBM:", "+CDS:", "+CDSI:", "+CREG:", "+CGREG:", "+CLIP:", "^",
};
// Those followed by a line of their own (the PDU in PDU mode).
constexpr std::string_view kWithBody[] = {"+CMT:", "+CBM:", "+CDS:"};

bool StartsWith(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && s.compare(0, prefix.size(), prefix) == 0;
}

char Upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\0'; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

// The leading decimal number after the colon, -1 when there is none.
int NumberAfterColon(std::string_view line) {
  const std::size_t colon = line.find(':');
  if (colon == std::string_view::npos) return -1;
  std::string_view rest = Trim(line.substr(colon + 1));
  long value = -1;
  for (char c : rest) {
    if (c < '0' || c > '9') break;
    value = (value < 0 ? 0 : value * 10) + (c - '0');
    if (value > 0xFFFFFF) return -1;  // no code or reference is that large
  }
  return static_cast<int>(value);
}

// A text as the modem would echo it: without line ends, Ctrl-Z, ESC, a
// leading prompt or surrounding blanks, in upper case.
std::string EchoForm(std::string_view s) {
  s = Trim(s);
  while (StartsWith(s, ">")) s = Trim(s.substr(1));
  std::string out;
  out.reserve(s.size());
  for (char c : s) {
    if (c == '\r' || c == '\n' || c == kCtrlZ || c == kEsc) continue;
    out.push_back(Upper(c));
  }
  return std::string(Trim(out));
}

// "+CMGS" of "at+cmgs=23", "^HCSQ" of "AT^HCSQ?": the name its answer
// lines start with. Empty for anything that is not an AT command.
std::string CommandPrefix(std::string_view command) {
  const std::string echo = EchoForm(command);
  if (!StartsWith(echo, "AT") || echo.size() < 3) return {};
  std::string name;
  for (std::size_t i = 2; i < echo.size(); ++i) {
    const char c = echo[i];
    if (c == '=' || c == '?' || c == ';' || c == ' ') break;
    name.push_back(c);
  }
  if (name.empty() || (name[0] != '+' && name[0] != '^')) return {};
  return name;
}

}  // namespace

milliseconds SystemReaderClock::Now() {
  return std::chrono::duration_cast<milliseconds>(
      std::chrono::steady_clock::now().time_since_epoch());
}

void SystemReaderClock::Sleep(milliseconds d) { std::this_thread::sleep_for(d); }

LineKind ClassifyLine(std::string_view line, std::string_view commandPrefix) {
  line = Trim(line);
  if (line.empty()) return LineKind::kEmpty;
  if (line == "OK") return LineKind::kOk;
  if (line == "ERROR") return LineKind::kError;
  if (StartsWith(line, "+CMS ERROR:")) return LineKind::kCmsError;
  if (StartsWith(line, "+CME ERROR:")) return LineKind::kCmeError;
  if (!commandPrefix.empty() && StartsWith(line, commandPrefix) &&
      line.size() > commandPrefix.size() && line[commandPrefix.size()] == ':') {
    return LineKind::kInformation;
  }
  if (line == "RING") return LineKind::kUnsolicited;
  for (std::string_view p : kUnsolicitedPrefixes) {
    if (StartsWith(line, p)) return LineKind::kUnsolicited;
  }
  return LineKind::kInformation;
}

ModemLineReader::ModemLineReader(ModemPort& port, ReaderClock& clock, ReaderLimits limits)
    : port_(port), clock_(clock), limits_(limits) {
  if (limits_.receiveChunk < 1) limits_.receiveChunk = 1;
  if (limits_.maxLineBytes < kPrompt.size()) limits_.maxLineBytes = kPrompt.size();
  if (limits_.pollInterval < milliseconds(1)) limits_.pollInterval = milliseconds(1);
}

int ModemLineReader::Send(std::string_view bytes) {
  // Bounded: a flooding modem must not keep the command from going out.
  Drain(nullptr, false);
  for (int i = 0; i < kLastLookChunks && ReceiveChunk(); ++i) Drain(nullptr, false);
  echo_ = EchoForm(bytes);
  commandPrefix_ = CommandPrefix(bytes);
  return port_.Send(bytes.data(), static_cast<int>(bytes.size()));
}

ModemAnswer ModemLineReader::WaitPromptOrResult(milliseconds timeout) {
  return Wait(timeout, true, limits_.maxInformation);
}

ModemAnswer ModemLineReader::WaitFinalResult(milliseconds timeout) {
  return Wait(timeout, false, limits_.maxInformation);
}

ModemAnswer ModemLineReader::WaitFinalResult(milliseconds timeout, std::size_t maxInformation) {
  return Wait(timeout, false, maxInformation);
}

std::vector<UnsolicitedCode> ModemLineReader::TakeUnsolicited() {
  std::vector<UnsolicitedCode> out(std::make_move_iterator(unsolicited_.begin()),
                                   std::make_move_iterator(unsolicited_.end()));
  unsolicited_.clear();
  return out;
}

ModemAnswer ModemLineReader::Wait(milliseconds timeout, bool promptEnds,
                                  std::size_t maxInformation) {
  ModemAnswer answer;
  maxInformation_ = maxInformation;
  const milliseconds start = clock_.Now();
  const milliseconds deadline = start + std::max(timeout, milliseconds(0));
  for (;;) {
    if (Drain(&answer, promptEnds)) break;
    const milliseconds now = clock_.Now();
    if (now >= deadline) {
      // At the deadline one more look at what has arrived by then, bounded:
      // a modem that never stops talking cannot hold the wait open.
      bool decided = false;
      for (int i = 0; i < kLastLookChunks && !decided && ReceiveChunk(); ++i) {
        decided = Drain(&answer, promptEnds);
      }
      if (decided) break;
      answer.result = ModemResult::kTimeout;
      break;
    }
    if (ReceiveChunk()) continue;
    clock_.Sleep(std::min(limits_.pollInterval, deadline - now));
  }
  answer.elapsed = clock_.Now() - start;
  return answer;
}

bool ModemLineReader::ReceiveChunk() {
  received_.resize(static_cast<std::size_t>(limits_.receiveChunk));
  int n = port_.Receive(received_.data(), limits_.receiveChunk);
  // A port that claims more than was asked for gave no more than that.
  n = std::clamp(n, 0, limits_.receiveChunk);
  received_.resize(static_cast<std::size_t>(n));
  receivedPos_ = 0;
  return n > 0;
}

bool ModemLineReader::Drain(ModemAnswer* answer, bool promptEnds) {
  while (receivedPos_ < received_.size()) {
    if (Step(received_[receivedPos_++], answer, promptEnds)) return true;
  }
  received_.clear();
  receivedPos_ = 0;
  return false;
}

bool ModemLineReader::Step(char c, ModemAnswer* answer, bool promptEnds) {
  if (c == '\r' || c == '\n') {
    const bool dropped = overlong_;
    overlong_ = false;
    std::string line;
    line.swap(line_);
    return !dropped && TakeLine(line, answer);
  }
  if (overlong_) {
    ++droppedBytes_;
    return false;
  }
  if (line_.size() >= limits_.maxLineBytes) {
    // Garbage without line ends: drop it up to the next line end.
    droppedBytes_ += line_.size() + 1;
    line_.clear();
    overlong_ = true;
    return false;
  }
  line_.push_back(c);
  if (promptEnds && answer && line_ == kPrompt) {
    line_.clear();
    bodyDue_ = false;
    answer->result = ModemResult::kPrompt;
    answer->finalLine = std::string(kPrompt);
    return true;
  }
  return false;
}

bool ModemLineReader::TakeLine(std::string_view raw, ModemAnswer* answer) {
  const std::string_view line = Trim(raw);
  // A prompt nobody waited for ends up alone on its line.
  if (line.empty() || line == ">") return false;
  const LineKind kind = ClassifyLine(line, commandPrefix_);
  if (bodyDue_) {
    bodyDue_ = false;
    if (kind == LineKind::kInformation && !unsolicited_.empty()) {
      unsolicited_.back().body = std::string(line);
      return false;
    }
  }
  if (IsEcho(line)) return false;
  switch (kind) {
    case LineKind::kEmpty:
      return false;
    case LineKind::kUnsolicited:
      SetAside(line, std::any_of(std::begin(kWithBody), std::end(kWithBody),
                                 [&](std::string_view p) { return StartsWith(line, p); }));
      return false;
    case LineKind::kInformation:
      if (answer) {
        if (StartsWith(line, "+CMGS:")) answer->messageReference = NumberAfterColon(line);
        if (answer->information.size() < maxInformation_)
          answer->information.emplace_back(line);
      }
      return false;
    case LineKind::kOk:
    case LineKind::kError:
    case LineKind::kCmsError:
    case LineKind::kCmeError:
      break;
  }
  // A final result before the command was sent is stale: no answer to it.
  if (!answer) return false;
  answer->finalLine = std::string(line);
  switch (kind) {
    case LineKind::kOk:
      answer->result = ModemResult::kOk;
      break;
    case LineKind::kCmsError:
      answer->result = ModemResult::kCmsError;
      answer->errorCode = NumberAfterColon(line);
      break;
    case LineKind::kCmeError:
      answer->result = ModemResult::kCmeError;
      answer->errorCode = NumberAfterColon(line);
      break;
    default:
      answer->result = ModemResult::kError;
      break;
  }
  return true;
}

bool ModemLineReader::IsEcho(std::string_view line) const {
  return !echo_.empty() && EchoForm(line) == echo_;
}

void ModemLineReader::SetAside(std::string_view line, bool hasBody) {
  if (limits_.maxUnsolicited == 0) {
    ++droppedUnsolicited_;
    return;
  }
  if (unsolicited_.size() >= limits_.maxUnsolicited) {
    unsolicited_.pop_front();
    ++droppedUnsolicited_;
  }
  unsolicited_.push_back({std::string(line), {}});
  bodyDue_ = hasBody;
}

}  // namespace varnix
