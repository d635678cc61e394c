// The execute command's parser on any data a client could hand over: the
// bytes through ExecuteText (UTF-16LE or GBK, by their shape) and, so that
// lone surrogates, NULs and every unit reach the parser, the same bytes
// read as UTF-16LE units directly.
//
// The seeds are the raw execute data: ANSI text, or UTF-16LE.
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "FuzzInput.h"
#include "dde/ExecuteCommand.h"
#include "text/AnsiCodec.h"

using namespace varnix;

namespace {

std::string Narrow(std::u16string_view s) {
  std::string out;
  for (char16_t c : s) {
    if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
    } else {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04X", static_cast<unsigned>(c));
      out += buf;
    }
  }
  return out;
}

bool Same(const std::vector<SendCommand>& a, const std::vector<SendCommand>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i].number != b[i].number || a[i].text != b[i].text) return false;
  }
  return true;
}

bool Same(const ParsedExecute& a, const ParsedExecute& b) {
  return a.kind == b.kind && Same(a.commands, b.commands);
}

std::u16string Quoted(std::u16string_view s) {
  std::u16string out = u"\"";
  for (char16_t c : s) {
    out += c;
    if (c == u'"') out += u'"';
  }
  return out + u"\"";
}

// The commands written back as a client would, with blanks and line breaks
// where they may stand and the name in a case of its own.
std::u16string Serialise(const std::vector<SendCommand>& commands) {
  std::u16string out = u"\r\n ";
  for (std::size_t i = 0; i < commands.size(); ++i) {
    out += (i % 2) ? u"[ sEnD\t( " : u"[Send(";
    out += Quoted(commands[i].number);
    out += (i % 2) ? u" ,\t" : u",";
    out += Quoted(commands[i].text);
    out += (i % 2) ? u"\t) ]\r\n" : u")]";
  }
  return out;
}

// The parser is handed a view, and the data behind a DDE execute need not
// end in a NUL: it parses a copy of exactly the view's size, so that a read
// past its end is one past an allocation, where the address sanitizer sees
// it (past a std::u16string's end there is always its terminator).
ParsedExecute Parse(std::u16string_view s) {
  const std::vector<char16_t> exact(s.begin(), s.end());
  return ParseExecute(std::u16string_view(exact.data(), exact.size()));
}

void CheckParse(std::u16string_view s) {
  const ParsedExecute p = Parse(s);

  // Only a Send has commands, and then at least one.
  FUZZ_CHECK((p.kind == ExecuteKind::kSend) == !p.commands.empty(), Narrow(s));

  // Nothing after the first NUL counts.
  const std::size_t nul = s.find(u'\0');
  const std::u16string_view head = s.substr(0, nul);
  if (nul != std::u16string_view::npos) {
    FUZZ_CHECK(Same(p, Parse(head)), Narrow(s));
  }

  // Blanks and line breaks at the end change nothing; anything else after
  // well-formed commands makes the whole malformed.
  FUZZ_CHECK(Same(p, Parse(std::u16string(head) + u" \r\n\t\r")), Narrow(s));
  if (p.kind == ExecuteKind::kSend) {
    FUZZ_CHECK(Parse(std::u16string(head) + u"x").kind == ExecuteKind::kMalformed,
               Narrow(s));
  }

  std::size_t kept = 0;
  for (const SendCommand& c : p.commands) {
    FUZZ_CHECK(c.text.find(u'\r') == std::u16string::npos, Narrow(c.text));
    FUZZ_CHECK(c.number.find(u'\0') == std::u16string::npos, Narrow(c.number));
    kept += c.number.size() + c.text.size();
  }
  FUZZ_CHECK(kept <= head.size(), Narrow(s));

  // Written back with the quotes doubled, the commands parse to themselves.
  if (p.kind == ExecuteKind::kSend) {
    const std::u16string again = Serialise(p.commands);
    const ParsedExecute q = Parse(again);
    FUZZ_CHECK(q.kind == ExecuteKind::kSend, Narrow(again));
    FUZZ_CHECK(Same(p.commands, q.commands), Narrow(s) + " vs " + Narrow(again));
  }
}

// Commands made from the input's units (fields split at U+0001, NULs
// dropped) and written out come back as they went in, the text with its
// line breaks as LF.
void CheckRoundTrip(std::u16string_view units) {
  std::vector<std::u16string> fields(1);
  for (char16_t c : units) {
    if (c == u'\x01') {
      fields.emplace_back();
    } else if (c != u'\0') {
      fields.back() += c;
    }
  }
  std::vector<SendCommand> made;
  for (std::size_t i = 0; i < fields.size(); i += 2) {
    made.push_back({fields[i], i + 1 < fields.size() ? fields[i + 1] : u""});
  }
  std::vector<SendCommand> expected = made;
  for (SendCommand& c : expected) {
    std::u16string lf;
    for (std::size_t k = 0; k < c.text.size(); ++k) {
      if (c.text[k] == u'\r') {
        if (k + 1 < c.text.size() && c.text[k + 1] == u'\n') ++k;
        lf += u'\n';
      } else {
        lf += c.text[k];
      }
    }
    c.text = lf;
  }
  const std::u16string written = Serialise(made);
  const ParsedExecute p = Parse(written);
  FUZZ_CHECK(p.kind == ExecuteKind::kSend, Narrow(written));
  FUZZ_CHECK(Same(p.commands, expected), Narrow(written));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::unique_ptr<AnsiCodec> gbk = MakeCodePageCodec(936);

  const std::u16string text = ExecuteText(data, size, *gbk);
  FUZZ_CHECK(text.find(u'\0') == std::u16string::npos, Narrow(text));
  CheckParse(text);

  std::u16string units;
  for (std::size_t i = 0; i + 1 < size; i += 2) {
    units += static_cast<char16_t>(data[i] | (data[i + 1] << 8));
  }
  // UTF-16LE by its shape: ExecuteText hands over the units up to the first
  // NUL, unchanged.
  if (size >= 2 && data[1] == 0 && data[0] != 0) {
    FUZZ_CHECK(text == units.substr(0, units.find(u'\0')), Narrow(text));
  }
  CheckParse(units);
  CheckRoundTrip(units);
  return 0;
}
