// The commands a client may send as a DDE execute on the topic, parsed from
// the execute string alone: no items, no queue, no transport.
//
//   [Send("<number>","<text>")][Send("...","...")]...
//
// The command name is compared without case (ASCII only); blanks (space,
// tab) may stand around the brackets, parentheses and the comma, and blanks
// and line breaks before the first command, between two commands and after
// the last. A '"' inside a string is written '""'. The strings may hold
// anything else, line breaks included. Whether a number can be sent and
// whether a text is empty is the caller's judgement, not the parser's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace varnix {

class AnsiCodec;

struct SendCommand {
  std::u16string number;  // as written (line breaks too), quotes undone
  std::u16string text;    // quotes undone; CR LF and a lone CR become LF
};

enum class ExecuteKind {
  kOther,      // does not begin (after blanks) with "[Send(": acknowledged, no effect
  kSend,       // one or more well-formed Send commands, in order
  kMalformed,  // begins like a Send but is not all well-formed Send commands,
               // or something other than blanks and line breaks follows them
};

struct ParsedExecute {
  ExecuteKind kind = ExecuteKind::kOther;
  std::vector<SendCommand> commands;  // only for kSend, never empty then
};

// Parses the execute string up to its first NUL (or its end), in one pass:
// linear time, no recursion, the strings together no longer than the input.
ParsedExecute ParseExecute(std::u16string_view command);

// The execute's data as UTF-16. DDEML hands a Unicode server the command in
// UTF-16 (converting an ANSI client's string on the way), but a transport
// may still pass ANSI bytes: data whose second byte is NUL after a non-NUL
// first byte is taken as UTF-16LE, anything else as text in the ANSI code
// page through `codec`. Stops at the first NUL character; an odd trailing
// byte of UTF-16 data is dropped.
std::u16string ExecuteText(const std::uint8_t* data, std::size_t size, const AnsiCodec& codec);

}  // namespace varnix
