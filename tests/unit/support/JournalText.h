// Journal test helpers shared with the fuzzer: messages, the framing of a
// line, and a recovery described in one line of text for known answers.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "outbox/Journal.h"

namespace varnix::testing {

inline ClientMessage Ansi(MessageId id, std::string entry) {
  return ClientMessage{id, std::move(entry), false, {}};
}
inline ClientMessage Uni(MessageId id, std::string entry, std::u16string text16) {
  return ClientMessage{id, std::move(entry), true, std::move(text16)};
}

inline bool Same(const ClientMessage& a, const ClientMessage& b) {
  return a.id == b.id && a.entry == b.entry && a.unicode == b.unicode && a.text16 == b.text16;
}

// "last=<id>" and per message " <id>[<part>:<ref>,...]", "!" when a part
// may have gone out.
inline std::string Describe(const Recovery& r) {
  std::string s = "unusable";
  if (r.usable) s = "last=" + std::to_string(r.lastId);
  for (const RecoveredMessage& m : r.messages) {
    s += ' ';
    s += std::to_string(m.message.id);
    s += '[';
    bool first = true;
    for (const auto& [part, ref] : m.partsSent) {
      if (!first) s += ',';
      s += std::to_string(part);
      s += ':';
      s += std::to_string(ref);
      first = false;
    }
    s += m.pduMayHaveGoneOut ? "]!" : "]";
  }
  return s;
}

inline std::string Frame(const std::string& payload) {
  char crc[9];
  std::snprintf(crc, sizeof crc, "%08x", static_cast<unsigned>(Crc32(payload)));
  return payload + ' ' + std::to_string(payload.size()) + ' ' + crc + '\n';
}

inline std::vector<std::string> Lines(const std::string& bytes) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t lf; (lf = bytes.find('\n', start)) != std::string::npos; start = lf + 1) {
    lines.push_back(bytes.substr(start, lf + 1 - start));
  }
  return lines;
}

}  // namespace varnix::testing
