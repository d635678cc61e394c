// What the journal kept of the last run, put back in place at start-up.
#pragma once

#include "gateway/GatewayState.h"
#include "outbox/Journal.h"

namespace varnix {

// Ids go on from the last one journaled; the unfinished messages are
// decoded through state.codec and queued again in their order, ahead of any new one, each after the parts
// it had sent already. A message that may have reached the modem (a part
// went out without a verdict) is never sent again: it ends unknown, in the
// journal and in Result, with a Status "0" waiting for the next post.
// Returns how many ended so, i.e. how many Status posts are due.
int RestoreFromOutbox(GatewayState& state, Journal& journal, Recovery& recovery);

}  // namespace varnix
