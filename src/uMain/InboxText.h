// The text of a received message as the Inbox item and the inbox log show
// it: one line, its fields separated by TAB. Everything in it came from
// outside, so nothing in a field may end the line or the field.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "uMeter/Inbox.h"

namespace varnix {

// A field with backslash, TAB, CR and LF written \\ \t \r \n; the other
// C0 controls cannot stand in it either.
std::u16string EscapeInboxField(std::u16string_view field);

// id TAB sender TAB FormatSmsTime(time, true) TAB text, sender and text
// escaped.
std::u16string InboxLine(std::uint64_t id, const ReceivedMessage& message);

// UTF-16 as UTF-8 (a lone surrogate as U+FFFD).
std::string Utf8Of(std::u16string_view text);

}  // namespace varnix
