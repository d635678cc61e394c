// A message as a client gave it, before it is decoded: the form the outbox
// journal keeps byte for byte (outbox/Journal.h), and the one decoding that
// turns it into the message the worker sends.
#pragma once

#include <string>

#include "message/MessageResults.h"
#include "message/QueuedMessage.h"

namespace varnix {

class AnsiCodec;

struct ClientMessage {
  MessageId id = 0;
  // "number,text" in the ANSI code page, as the three pokes give it; for a
  // text that came in as UTF-16 (an execute) only "number,".
  std::string entry;
  bool unicode = false;
  std::u16string text16;  // the text that came in as UTF-16
};

// The number is the entry up to its first comma (empty without one); the
// text is the rest of the entry through `codec`, or text16 for a message
// that came in as UTF-16, which never goes through the code page. A codec
// that throws, or none, leaves the text lost (QueuedMessage::textLost).
QueuedMessage Decode(ClientMessage client, const AnsiCodec* codec);

}  // namespace varnix
