// A received message, joined from its parts, on its way from the worker to
// the Inbox item and the inbox log.
#pragma once

#include <string>

#include "sms/PduDecoder.h"

namespace varnix {

struct ReceivedMessage {
  std::u16string sender;
  SmsTime time;  // the service-centre time stamp of its first part
  // The whole text; a part still missing after the wait stands as "[…]".
  std::u16string text;
  int parts = 1;
  int missingParts = 0;
};

// Where the worker hands what it received. Called on the worker's thread;
// must come back within a few seconds. True only once the message is
// published in Inbox and written to the inbox log (flushed to disk with the
// outbox on): only then may it be deleted from the modem. False: it stays
// in the modem and is offered again (the sink must not take it twice).
class InboxSink {
 public:
  virtual ~InboxSink() = default;
  virtual bool Deliver(const ReceivedMessage& message) = 0;
};

}  // namespace varnix
