#include "gateway/Outbox.h"

#include <utility>

#include "message/ClientMessage.h"

namespace varnix {

int RestoreFromOutbox(GatewayState& state, Journal& journal, Recovery& recovery) {
  state.journal = &journal;
  state.lastId = recovery.lastId;
  int unknown = 0;
  for (RecoveredMessage& m : recovery.messages) {
    const MessageId id = m.message.id;
    ++state.unfinished;
    if (m.pduMayHaveGoneOut) {
      journal.Finished(id, MessageState::kUnknown, {});
      state.results.Push({id, MessageState::kUnknown, {}});
      state.statusText.Set("0");
      ++unknown;
      continue;
    }
    // Decoded once, here, as a message is where it is accepted.
    QueuedMessage message = Decode(std::move(m.message), state.codec);
    for (int part = 1; m.partsSent.count(part) != 0; ++part)
      message.sentReferences.push_back(m.partsSent[part]);
    state.sendQueue.Append(std::move(message));
  }
  return unknown;
}

}  // namespace varnix
