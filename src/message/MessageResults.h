// The states a message goes through and the lines that tell clients about
// them ("<id> TAB <state> TAB <detail>" in the item Result). Changes are
// made on both threads and published on the GUI thread, in the order they
// were made, through ResultLog.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace varnix {

struct MessageOutcome;

// 1 for the first accepted message after a start, +1 for each after it.
using MessageId = std::uint64_t;

enum class MessageState { kQueued, kSent, kFailed, kRetry, kUnknown, kDelivered, kUndelivered };

// "queued", "sent", ...
const char* StateName(MessageState state);
// Whether the message is over with this state: sent, failed or unknown.
// A delivery report comes after the end and does not count.
bool IsFinal(MessageState state);

struct StateChange {
  MessageId id = 0;
  MessageState state = MessageState::kQueued;
  std::string detail;
};

// The Result line of a change. A TAB, CR or LF in the detail becomes a
// blank, so that a line is always one line of three fields.
std::string ResultLine(const StateChange& change);

// The final change for a finished message: sent with its references ("?"
// for a part whose answer named none), or failed with the reason.
StateChange FinalChange(MessageId id, const MessageOutcome& outcome);

// Changes not yet published. Either thread pushes; the GUI thread takes
// them all, in order. It is not bounded: every change belongs to a message
// that was accepted on the GUI thread, which publishes what is waiting each
// time it accepts one, so what waits here never outgrows the queue.
class ResultLog {
 public:
  void Push(StateChange change);
  std::vector<StateChange> TakeAll();
  bool Empty() const;

  // Called by Push with each change, under its lock, so that the calls come
  // in the order of the changes whichever thread made them. Set while no
  // other thread pushes (start-up, shutdown); it must not block.
  void SetObserver(std::function<void(const StateChange&)> observer);

 private:
  mutable std::mutex mutex_;
  std::function<void(const StateChange&)> observer_;
  std::deque<StateChange> changes_;
};

}  // namespace varnix
