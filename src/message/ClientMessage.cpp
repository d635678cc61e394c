#include "message/ClientMessage.h"

#include <string_view>
#include <utility>

#include "text/AnsiCodec.h"

namespace varnix {

QueuedMessage Decode(ClientMessage client, const AnsiCodec* codec) {
  QueuedMessage message;
  message.id = client.id;
  const std::string_view entry = client.entry;
  const std::size_t comma = entry.find(',');
  std::string_view text = entry;
  if (comma != std::string_view::npos) {
    message.number = std::string(entry.substr(0, comma));
    text = entry.substr(comma + 1);
  }
  if (client.unicode) {
    message.text = std::move(client.text16);
    return message;
  }
  try {
    if (codec) {
      message.text = codec->ToUtf16(text);
      return message;
    }
  } catch (...) {
    // The message is still accepted: clients match outcomes to messages by
    // their order, so it must fail in its place, not vanish here.
  }
  message.text.clear();
  message.textLost = true;
  return message;
}

}  // namespace varnix
