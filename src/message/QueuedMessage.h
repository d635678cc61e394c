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

// One accepted message as it waits in the queue, decoded once where it was
// accepted (ClientMessage.h).
struct QueuedMessage {
  MessageId id = 0;  // 0 for a message queued without one
  // Whatever came before the entry's first comma. The worker sends none but
  // an optional "+" and digits: an empty one (a Num that held a comma) is
  // refused like any other.
  std::string number;
  std::u16string text;
  // The references of the parts an earlier run sent already (the outbox
  // brought it back): sending goes on with the next part.
  std::vector<int> sentReferences;
  // The code page's conversion failed where it was accepted (out of memory,
  // or no codec): the message fails in its place when its parts are cut,
  // after the bytes a conversion failing there would have cost.
  bool textLost = false;
};

}  // namespace varnix
