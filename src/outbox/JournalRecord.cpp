#include "outbox/JournalRecord.h"

#include "outbox/JournalFields.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <limits>
#include <utility>
#include <vector>

namespace varnix {
namespace {

constexpr std::string_view kMagic = "Varnix-journal";

std::array<std::uint32_t, 256> MakeCrcTable() {
  std::array<std::uint32_t, 256> table{};
  for (std::uint32_t i = 0; i < 256; ++i) {
    std::uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    table[i] = c;
  }
  return table;
}

// ---- numbers and states ------------------------------------------------

template <typename T>
std::optional<T> Number(std::string_view s, T min, T max) {
  if (s.empty() || (s.size() > 1 && s[0] == '0')) return std::nullopt;
  T value{};
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
  if (ec != std::errc() || end != s.data() + s.size() || value < min || value > max) {
    return std::nullopt;
  }
  return value;
}

std::optional<MessageId> Id(std::string_view s) {
  return Number<MessageId>(s, 1, std::numeric_limits<MessageId>::max());
}
std::optional<int> Part(std::string_view s) { return Number<int>(s, 1, kJournalMaxPart); }

const char* FinalName(MessageState state) {
  switch (state) {
    case MessageState::kSent: return "sent";
    case MessageState::kFailed: return "failed";
    case MessageState::kUnknown: return "unknown";
    default: return nullptr;
  }
}

std::optional<MessageState> FinalState(std::string_view s) {
  for (MessageState st : {MessageState::kSent, MessageState::kFailed, MessageState::kUnknown}) {
    if (s == FinalName(st)) return st;
  }
  return std::nullopt;
}

std::vector<std::string_view> Fields(std::string_view payload) {
  std::vector<std::string_view> fields;
  std::size_t start = 0;
  for (;;) {
    const std::size_t blank = payload.find(' ', start);
    fields.push_back(payload.substr(start, blank - start));
    if (blank == std::string_view::npos) return fields;
    start = blank + 1;
  }
}

std::string Payload(const JournalRecord& r) {
  const std::string id = std::to_string(r.id);
  const std::string part = std::to_string(r.part);
  switch (r.type) {
    case RecordType::kHeader: return "H " + std::string(kMagic) + ' ' + std::to_string(r.version);
    case RecordType::kAccepted:
      return "A " + id + (r.message.unicode ? " u " : " a ") + EncodeBytes(r.message.entry) +
             ' ' + EncodeText16(r.message.text16);
    case RecordType::kGoingOut: return "G " + id + ' ' + part;
    case RecordType::kSent: return "S " + id + ' ' + part + ' ' + std::to_string(r.reference);
    case RecordType::kAttemptFailed: return "F " + id + ' ' + part;
    case RecordType::kFinished: {
      const char* name = FinalName(r.state);
      return "E " + id + ' ' + (name ? name : "?") + ' ' + EncodeBytes(r.detail);
    }
    case RecordType::kLastId: return "L " + std::to_string(r.id);
  }
  return {};
}

std::optional<JournalRecord> ParsePayload(std::string_view payload) {
  const std::vector<std::string_view> f = Fields(payload);
  JournalRecord r;
  if (f[0] == "H" && f.size() == 3 && f[1] == kMagic) {
    const auto v = Number<int>(f[2], 0, std::numeric_limits<int>::max());
    if (!v) return std::nullopt;
    r.type = RecordType::kHeader;
    r.version = *v;
    return r;
  }
  if (f[0].size() != 1 || f.size() < 2) return std::nullopt;
  const auto id = Id(f[1]);
  if (!id) return std::nullopt;
  r.id = *id;
  const char type = f[0][0];
  if (type == 'L' && f.size() == 2) {
    r.type = RecordType::kLastId;
    return r;
  }
  if (type == 'A' && f.size() == 5 && (f[2] == "a" || f[2] == "u")) {
    auto entry = DecodeBytes(f[3]);
    auto text16 = DecodeText16(f[4]);
    if (!entry || !text16) return std::nullopt;
    r.type = RecordType::kAccepted;
    r.message = ClientMessage{*id, std::move(*entry), f[2] == "u", std::move(*text16)};
    return r;
  }
  if (type == 'E' && f.size() == 4) {
    const auto state = FinalState(f[2]);
    auto detail = DecodeBytes(f[3]);
    if (!state || !detail) return std::nullopt;
    r.type = RecordType::kFinished;
    r.state = *state;
    r.detail = std::move(*detail);
    return r;
  }
  if (f.size() < 3) return std::nullopt;
  const auto part = Part(f[2]);
  if (!part) return std::nullopt;
  r.part = *part;
  if ((type == 'G' || type == 'F') && f.size() == 3) {
    r.type = type == 'G' ? RecordType::kGoingOut : RecordType::kAttemptFailed;
    return r;
  }
  if (type == 'S' && f.size() == 4) {
    const auto ref = f[3] == "-1" ? std::optional<int>(-1)
                                  : Number<int>(f[3], 0, std::numeric_limits<int>::max());
    if (!ref) return std::nullopt;
    r.type = RecordType::kSent;
    r.reference = *ref;
    return r;
  }
  return std::nullopt;
}

}  // namespace

std::uint32_t Crc32(std::string_view bytes) {
  static const std::array<std::uint32_t, 256> table = MakeCrcTable();
  std::uint32_t c = 0xFFFFFFFFu;
  for (unsigned char b : bytes) c = table[(c ^ b) & 0xFF] ^ (c >> 8);
  return c ^ 0xFFFFFFFFu;
}

std::string FormatRecord(const JournalRecord& record) {
  std::string line = Payload(record);
  const std::uint32_t crc = Crc32(line);
  const std::size_t length = line.size();
  line += ' ';
  line += std::to_string(length);
  line += ' ';
  for (int shift = 28; shift >= 0; shift -= 4) line += "0123456789abcdef"[(crc >> shift) & 15];
  line += '\n';
  return line;
}

std::optional<JournalRecord> ParseRecord(std::string_view line) {
  // From the right: the CRC, the length, and the payload before them.
  if (line.size() < 1 + 1 + 1 + 1 + 8) return std::nullopt;
  const std::string_view crcText = line.substr(line.size() - 8);
  std::uint32_t crc = 0;
  for (char c : crcText) {
    const int h = (c >= '0' && c <= '9') ? c - '0' : (c >= 'a' && c <= 'f') ? c - 'a' + 10 : -1;
    if (h < 0) return std::nullopt;
    crc = crc * 16 + static_cast<std::uint32_t>(h);
  }
  std::string_view rest = line.substr(0, line.size() - 8);
  if (rest.back() != ' ') return std::nullopt;
  rest.remove_suffix(1);
  const std::size_t blank = rest.rfind(' ');
  if (blank == std::string_view::npos) return std::nullopt;
  const auto length = Number<std::size_t>(rest.substr(blank + 1), 1, rest.size());
  const std::string_view payload = rest.substr(0, blank);
  if (!length || *length != payload.size() || Crc32(payload) != crc) return std::nullopt;
  return ParsePayload(payload);
}

// ---- the book ----------------------------------------------------------

const JournalBook::Live* JournalBook::Find(MessageId id) const {
  const auto it = std::lower_bound(live_.begin(), live_.end(), id,
                                   [](const Live& m, MessageId v) { return m.id < v; });
  if (it == live_.end() || it->id != id || it->finished) return nullptr;
  return &*it;
}

JournalBook::Live* JournalBook::Find(MessageId id) {
  return const_cast<Live*>(std::as_const(*this).Find(id));
}

bool JournalBook::Fits(const JournalRecord& r) const {
  if (r.type == RecordType::kHeader) return false;
  if (r.type == RecordType::kAccepted) return r.id > lastId_;
  if (r.type == RecordType::kLastId) return r.id >= lastId_;
  if (r.type != RecordType::kFinished && (r.part < 1 || r.part > kJournalMaxPart)) return false;
  if (r.type == RecordType::kSent && r.reference < -1) return false;
  const Live* m = Find(r.id);
  if (!m) return false;
  // Its part may have reached the modem before the restart: it can only end.
  if (m->sealed) return r.type == RecordType::kFinished && FinalName(r.state) != nullptr;
  const auto sent = sent_.find(r.id);
  const bool partSent = sent != sent_.end() && sent->second.count(r.part) != 0;
  switch (r.type) {
    case RecordType::kGoingOut: return m->goingOut == 0 && !partSent;
    case RecordType::kSent: return (m->goingOut == 0 || m->goingOut == r.part) && !partSent;
    case RecordType::kAttemptFailed: return m->goingOut == 0 || m->goingOut == r.part;
    case RecordType::kFinished: return FinalName(r.state) != nullptr;
    default: return false;
  }
}

void JournalBook::Apply(const JournalRecord& r, std::size_t bytes) {
  if (r.type == RecordType::kAccepted) {
    Live m;
    m.id = r.id;
    m.bytes = bytes;
    live_.push_back(m);
    lastId_ = r.id;
    liveBytes_ += bytes;
    return;
  }
  if (r.type == RecordType::kLastId) {
    lastId_ = r.id;
    return;
  }
  Live* m = Find(r.id);
  if (!m) return;
  if (r.type == RecordType::kFinished) {
    liveBytes_ -= m->bytes;
    m->finished = true;
    ++finished_;
    sent_.erase(r.id);
    // Messages mostly end in the order they came: the front goes at once,
    // the others once they are as many as the rest.
    while (!live_.empty() && live_.front().finished) {
      live_.pop_front();
      --finished_;
    }
    if (finished_ > 64 && finished_ * 2 > live_.size()) {
      std::erase_if(live_, [](const Live& l) { return l.finished; });
      finished_ = 0;
    }
    return;
  }
  m->bytes += bytes;
  liveBytes_ += bytes;
  if (r.type == RecordType::kGoingOut) {
    m->goingOut = static_cast<std::uint8_t>(r.part);
    return;
  }
  m->goingOut = 0;
  if (r.type == RecordType::kSent) sent_[r.id][r.part] = r.reference;
}

std::optional<std::vector<std::string_view>> JournalBook::AcceptedLines(
    std::string_view file) const {
  std::vector<std::string_view> lines(live_.size());
  std::size_t missing = live_.size() - finished_;
  for (std::size_t start = 0; missing > 0 && start < file.size();) {
    const std::size_t lf = file.find('\n', start);
    if (lf == std::string_view::npos) break;  // a torn end
    const std::string_view line = file.substr(start, lf + 1 - start);
    start = lf + 1;
    // Only a whole A record of an unfinished message counts, and only the
    // first: whatever a failed write left after it is not the message.
    if (line.size() < 3 || line[0] != 'A' || line[1] != ' ') continue;
    const std::size_t blank = line.find(' ', 2);
    if (blank == std::string_view::npos) continue;
    const std::optional<MessageId> id = Id(line.substr(2, blank - 2));
    if (!id) continue;
    const auto it = std::lower_bound(live_.begin(), live_.end(), *id,
                                     [](const Live& m, MessageId v) { return m.id < v; });
    if (it == live_.end() || it->id != *id || it->finished) continue;
    std::string_view& found = lines[static_cast<std::size_t>(it - live_.begin())];
    if (!found.empty()) continue;
    const std::optional<JournalRecord> record = ParseRecord(line.substr(0, line.size() - 1));
    if (!record || record->type != RecordType::kAccepted) continue;
    found = line;
    --missing;
  }
  if (missing > 0) return std::nullopt;
  return lines;
}

std::optional<std::vector<JournalBook::Unfinished>> JournalBook::UnfinishedIn(
    std::string_view file) const {
  const std::optional<std::vector<std::string_view>> lines = AcceptedLines(file);
  if (!lines) return std::nullopt;
  std::vector<Unfinished> out;
  out.reserve(live_.size() - finished_);
  for (std::size_t i = 0; i < live_.size(); ++i) {
    const Live& m = live_[i];
    if (m.finished) continue;
    const auto sent = sent_.find(m.id);
    out.push_back({m.id, (*lines)[i], sent == sent_.end() ? nullptr : &sent->second, m.goingOut});
  }
  return out;
}

std::optional<std::string> JournalBook::Compacted(std::string_view file) {
  const std::optional<std::vector<std::string_view>> lines = AcceptedLines(file);
  if (!lines) return std::nullopt;
  JournalRecord header;
  std::string out = FormatRecord(header);
  liveBytes_ = 0;
  for (std::size_t i = 0; i < live_.size(); ++i) {
    Live& m = live_[i];
    if (m.finished) continue;
    const std::size_t start = out.size();
    // The line as the file holds it: the same bytes that formatting its
    // record again would give.
    out += (*lines)[i];
    JournalRecord r;
    if (const auto sent = sent_.find(m.id); sent != sent_.end()) {
      for (const auto& [part, reference] : sent->second) {
        r = JournalRecord{};
        r.type = RecordType::kSent;
        r.id = m.id;
        r.part = part;
        r.reference = reference;
        out += FormatRecord(r);
      }
    }
    if (m.goingOut != 0) {
      r = JournalRecord{};
      r.type = RecordType::kGoingOut;
      r.id = m.id;
      r.part = m.goingOut;
      out += FormatRecord(r);
    }
    m.bytes = out.size() - start;
    liveBytes_ += m.bytes;
  }
  JournalRecord last;
  last.type = RecordType::kLastId;
  last.id = lastId_;
  if (lastId_ != 0) out += FormatRecord(last);
  return out;
}

void JournalBook::Seal() {
  for (Live& m : live_) m.sealed = !m.finished && m.goingOut != 0;
}

void JournalBook::Clear() { *this = JournalBook{}; }

}  // namespace varnix
