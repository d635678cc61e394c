// An accepted message as it waits to be sent.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "message/MessageResults.h"

namespace varnix {

// The transport's handle of one client conversation; 0 when none is known
// (a change made by the program itself).
using ClientKey = std::uintptr_t;

// One accepted message as it waits in the queue.
struct QueuedMessage {
  MessageId id = 0;  // 0 for an entry queued without one
  // "number,text" in the ANSI code page, as the three pokes give it.
  std::string entry;
  // A text that came in as UTF-16 (an execute) is sent as `text16`, never
  // through the code page; the entry then holds only "number,".
  bool unicode = false;
  std::u16string text16;
  // The references of the parts an earlier run sent already (the outbox
  // brought it back): sending goes on with the next part.
  std::vector<int> sentReferences;
};

}  // namespace varnix
