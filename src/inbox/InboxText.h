// The text of one received message as the Inbox item and the inbox log
// show it: one line of four tab-separated fields,
//   <id> TAB <sender> TAB <yyyy-mm-dd hh:mm:ss±hh:mm> TAB <text>
// without a line break of its own. Sender and text come from outside, so
// they are escaped: nothing in them can end a line or a field. Portable.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "inbox/Inbox.h"

namespace varnix {

// "\" "\\", TAB "\t", CR "\r", LF "\n"; every other C0 control, DEL and the
// C1 controls as "\xHH" (two upper-case hex digits); U+2028 and U+2029
// (line breaks to some readers) as "\u2028" and "\u2029"; a lone surrogate
// half becomes U+FFFD. Everything else stays as it is.
std::u16string EscapeInboxField(std::u16string_view field);

std::u16string InboxLine(std::uint64_t id, const ReceivedMessage& message);

}  // namespace varnix
