// The modem's replies as lines: collects what the port delivers, splits it
// at CR and LF, and answers "what did the modem say to the command just
// sent" the moment the deciding line is complete. Unsolicited result codes
// that arrive in the middle of a dialogue are set aside, never taken as the
// answer.
#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "modem/ModemPort.h"

namespace varnix {

// Time for the reader: where it stands, and a short pause while nothing
// has arrived. Tests drive it in virtual time.
class ReaderClock {
 public:
  virtual ~ReaderClock() = default;
  virtual std::chrono::milliseconds Now() = 0;
  virtual void Sleep(std::chrono::milliseconds d) = 0;
};

// std::chrono::steady_clock and std::this_thread::sleep_for.
class SystemReaderClock final : public ReaderClock {
 public:
  std::chrono::milliseconds Now() override;
  void Sleep(std::chrono::milliseconds d) override;
};

constexpr std::chrono::milliseconds kPromptTimeout{5000};
constexpr std::chrono::milliseconds kFinalResultTimeout{60000};

enum class ModemResult { kOk, kPrompt, kError, kCmsError, kCmeError, kTimeout };

struct ModemAnswer {
  ModemResult result = ModemResult::kTimeout;
  int errorCode = -1;         // <n> of "+CMS ERROR: <n>" / "+CME ERROR: <n>"; -1 if not a number
  int messageReference = -1;  // <mr> of "+CMGS: <mr>"; -1 when none came
  std::string finalLine;      // the deciding line; "> " for the prompt; empty at a time-out
  std::vector<std::string> information;  // the answer's other lines, in order (bounded)
  std::chrono::milliseconds elapsed{0};

  // "+CMGS: <mr>" followed by "OK".
  bool Sent() const { return result == ModemResult::kOk && messageReference >= 0; }
};

// A line the modem sent of its own accord. `body` is the line that follows
// a code that announces one (+CMT:, +CDS:, +CBM: carry a PDU on the next line).
struct UnsolicitedCode {
  std::string line;
  std::string body;
};

enum class LineKind { kEmpty, kOk, kError, kCmsError, kCmeError, kUnsolicited, kInformation };

// The kind of one complete line (without its line end), on its own: a line
// starting with `commandPrefix` + ":" (e.g. "+CREG" after "AT+CREG?") is the
// command's information, whatever the list of unsolicited codes says.
LineKind ClassifyLine(std::string_view line, std::string_view commandPrefix = {});

struct ReaderLimits {
  std::size_t maxLineBytes = 1024;   // a longer line is dropped whole
  std::size_t maxUnsolicited = 64;   // the oldest goes first
  std::size_t maxInformation = 16;   // per answer; later lines are not kept
  int receiveChunk = 64;             // bytes asked of the port per read
  std::chrono::milliseconds pollInterval{5};  // pause while nothing has arrived
};

class ModemLineReader {
 public:
  ModemLineReader(ModemPort& port, ReaderClock& clock, ReaderLimits limits = {});

  // Writes through the port and remembers the command, so that its echo is
  // never taken as the answer. What arrived before it is filed first: its
  // unsolicited codes are kept, anything else is stale and dropped.
  int Send(std::string_view bytes);

  // After "at+cmgs=<n>": the prompt "> " (it ends without a line break) or
  // a final result, at most `timeout`.
  ModemAnswer WaitPromptOrResult(std::chrono::milliseconds timeout = kPromptTimeout);
  // A final result ("OK", "ERROR", "+CMS ERROR: <n>", "+CME ERROR: <n>"),
  // with the information lines before it, at most `timeout`.
  ModemAnswer WaitFinalResult(std::chrono::milliseconds timeout = kFinalResultTimeout);
  // The same, keeping up to `maxInformation` information lines instead of
  // the limit's: an answer that lists the modem's store is long by nature.
  ModemAnswer WaitFinalResult(std::chrono::milliseconds timeout, std::size_t maxInformation);

  // The unsolicited codes set aside so far, oldest first; the list is emptied.
  std::vector<UnsolicitedCode> TakeUnsolicited();
  std::size_t DroppedUnsolicited() const { return droppedUnsolicited_; }
  // Bytes thrown away in lines longer than the limit.
  std::size_t DroppedBytes() const { return droppedBytes_; }

 private:
  ModemAnswer Wait(std::chrono::milliseconds timeout, bool promptEnds,
                   std::size_t maxInformation);
  bool ReceiveChunk();
  // Feeds buffered bytes until one decides `answer` (true) or none are left.
  bool Drain(ModemAnswer* answer, bool promptEnds);
  bool Step(char c, ModemAnswer* answer, bool promptEnds);
  bool TakeLine(std::string_view line, ModemAnswer* answer);
  bool IsEcho(std::string_view line) const;
  void SetAside(std::string_view line, bool hasBody);

  ModemPort& port_;
  ReaderClock& clock_;
  ReaderLimits limits_;

  std::string received_;  // read from the port, not yet looked at
  std::size_t receivedPos_ = 0;
  std::string line_;      // the line being collected
  bool overlong_ = false;
  bool bodyDue_ = false;  // the next line belongs to the last unsolicited code
  std::string echo_;      // the last command, as its echo would read
  std::string commandPrefix_;  // "+CMGS" of "at+cmgs=23"
  std::size_t maxInformation_ = 0;  // of the wait under way

  std::deque<UnsolicitedCode> unsolicited_;
  std::size_t droppedUnsolicited_ = 0;
  std::size_t droppedBytes_ = 0;
};

}  // namespace varnix
