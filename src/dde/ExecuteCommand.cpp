#include "dde/ExecuteCommand.h"

#include <cstring>
#include <string_view>
#include <utility>

#include "text/AnsiCodec.h"

namespace varnix {
namespace {

bool IsBlank(char16_t c) {
  return c == u' ' || c == u'\t';
}
bool IsBlankOrBreak(char16_t c) {
  return IsBlank(c) || c == u'\r' || c == u'\n';
}

// One pass over the execute string, front to back. Every step either
// consumes characters or ends the parse, so the time is linear in the input
// and nothing recurses, whatever a client sends.
class Reader {
 public:
  explicit Reader(std::u16string_view s) : s_(s) {}

  bool AtEnd() const { return i_ >= s_.size(); }

  void SkipBlanks() {
    while (!AtEnd() && IsBlank(s_[i_])) ++i_;
  }
  void SkipBlanksAndBreaks() {
    while (!AtEnd() && IsBlankOrBreak(s_[i_])) ++i_;
  }

  bool Take(char16_t c) {
    if (AtEnd() || s_[i_] != c) return false;
    ++i_;
    return true;
  }

  // '[' blanks "Send" blanks '(' -- the name in ASCII without case only: a
  // client's "SEND" is the same command, a look-alike letter is not.
  bool TakeSendOpening() {
    if (!Take(u'[')) return false;
    SkipBlanks();
    static constexpr char kName[] = "send";
    if (s_.size() - i_ < 4) return false;
    for (std::size_t k = 0; k < 4; ++k) {
      char16_t c = s_[i_ + k];
      if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
      if (c != static_cast<char16_t>(kName[k])) return false;
    }
    i_ += 4;
    SkipBlanks();
    return Take(u'(');
  }

  // A quoted argument, "" standing for one '"'. False when no quote opens it
  // or none closes it. With `breaksToLf`, CR LF and a lone CR become LF: a
  // client on Windows writes CR LF, the message carries LF.
  bool TakeString(std::u16string& out, bool breaksToLf) {
    if (!Take(u'"')) return false;
    while (!AtEnd()) {
      const char16_t c = s_[i_++];
      if (c == u'"') {
        if (!Take(u'"')) return true;
        out.push_back(u'"');
      } else if (c == u'\r' && breaksToLf) {
        Take(u'\n');
        out.push_back(u'\n');
      } else {
        out.push_back(c);
      }
    }
    return false;
  }

 private:
  std::u16string_view s_;
  std::size_t i_ = 0;
};

// After the opening: blanks string blanks ',' blanks string blanks ')'
// blanks ']'.
bool TakeSendArguments(Reader& r, SendCommand& cmd) {
  r.SkipBlanks();
  if (!r.TakeString(cmd.number, false)) return false;
  r.SkipBlanks();
  if (!r.Take(u',')) return false;
  r.SkipBlanks();
  if (!r.TakeString(cmd.text, true)) return false;
  r.SkipBlanks();
  if (!r.Take(u')')) return false;
  r.SkipBlanks();
  return r.Take(u']');
}

ParsedExecute Malformed() {
  return {ExecuteKind::kMalformed, {}};
}

}  // namespace

ParsedExecute ParseExecute(std::u16string_view command) {
  const std::size_t nul = command.find(u'\0');
  if (nul != std::u16string_view::npos) command = command.substr(0, nul);

  Reader r(command);
  r.SkipBlanksAndBreaks();
  if (!r.TakeSendOpening()) return {};

  // Each command takes at least a dozen characters and its strings are no
  // longer than what was written, so what is kept stays within a small
  // multiple of the input.
  ParsedExecute out{ExecuteKind::kSend, {}};
  for (;;) {
    SendCommand cmd;
    if (!TakeSendArguments(r, cmd)) return Malformed();
    out.commands.push_back(std::move(cmd));
    r.SkipBlanksAndBreaks();
    if (r.AtEnd()) return out;
    if (!r.TakeSendOpening()) return Malformed();
  }
}

std::u16string ExecuteText(const std::uint8_t* data, std::size_t size, const AnsiCodec& codec) {
  if (size == 0) return {};
  if (size >= 2 && data[1] == 0 && data[0] != 0) {
    // Every command begins with an ASCII character, so its UTF-16LE form
    // always has this shape. ANSI data of this shape is a one-character
    // string, which is no command either way.
    std::size_t units = 0;
    while (2 * units + 1 < size && (data[2 * units] | data[2 * units + 1]) != 0) ++units;
    std::u16string out(units, u'\0');
    for (std::size_t k = 0; k < units; ++k) {
      out[k] = static_cast<char16_t>(data[2 * k] | (data[2 * k + 1] << 8));
    }
    return out;
  }
  const void* nul = std::memchr(data, 0, size);
  const std::size_t n =
      nul ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(nul) - data) : size;
  return codec.ToUtf16(std::string_view(reinterpret_cast<const char*>(data), n));
}

}  // namespace varnix
