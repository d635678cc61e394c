#include "dde/DdeModel.h"

#include <algorithm>
#include <cstdio>

#include "text/Utf.h"

namespace varnix {

std::string TDdeServerConv::NarrowText(std::u16string_view text) const {
  if (Narrow) return Narrow(text);
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    // A surrogate pair is one character: one "?".
    const char32_t c = CodePointAt(text, i);
    if (c >= 0x10000) ++i;
    out += c < 0x80 ? static_cast<char>(c) : '?';
  }
  return out;
}

std::u16string TDdeServerConv::WidenText(std::string_view text) const {
  if (Widen) return Widen(text);
  std::u16string out;
  for (const char c : text) out += static_cast<char16_t>(static_cast<unsigned char>(c));
  return out;
}

void TDdeServerConv::Attach(TDdeServerItem* item) {
  if (std::find(items_.begin(), items_.end(), item) == items_.end()) items_.push_back(item);
}

void TDdeServerConv::Detach(TDdeServerItem* item) {
  items_.erase(std::remove(items_.begin(), items_.end(), item), items_.end());
}

TDdeServerItem* TDdeServerConv::FindItem(std::string_view name) const {
  for (TDdeServerItem* item : items_) {
    if (item->Name == name) return item;
  }
  return nullptr;
}

bool TDdeServerConv::Execute(const std::uint8_t* data, std::size_t size, ClientKey from) const {
  return OnExecute ? OnExecute(data, size, from) : true;
}

void TDdeServerConv::ClientGone(ClientKey client) const {
  if (OnClientGone) OnClientGone(client);
}

TDdeServerItem::~TDdeServerItem() { SetServerConv(nullptr); }

void TDdeServerItem::SetServerConv(TDdeServerConv* conv) {
  if (conv_ == conv) return;
  if (conv_) conv_->Detach(this);
  conv_ = conv;
  if (conv_) conv_->Attach(this);
}

std::string TDdeServerItem::Text() const { return lines_.empty() ? std::string() : lines_.front(); }

void TDdeServerItem::SetText(std::string value) {
  lines_.assign(1, std::move(value));
  wideLines_.clear();
  wide_ = false;
  pokedBy_ = 0;
  Changed();
}

void TDdeServerItem::StorePoke(const std::uint8_t* data, std::size_t size, ClientKey from) {
  lines_ = SplitPokeText(data, size);
  wideLines_.clear();
  wide_ = false;
  pokedBy_ = from;
  Changed();
  if (OnPokeData) OnPokeData(*this);
}

void TDdeServerItem::SetWideLines(std::vector<std::u16string> lines) {
  wideLines_ = std::move(lines);
  wide_ = true;
  lines_.clear();
  // Text() and Lines() read the value as CF_TEXT serves it.
  for (const std::u16string& line : wideLines_) {
    lines_.push_back(conv_ ? conv_->NarrowText(line) : TDdeServerConv().NarrowText(line));
  }
  pokedBy_ = 0;
  Changed();
}

std::string TDdeServerItem::ServedData(ClientKey to) const {
  if (LinesFor) return JoinServedData(LinesFor(to));
  if (!wide_ || !conv_) return JoinServedData(lines_);
  // Narrowed when served: the code page is the transport's, set after the
  // value may have been.
  std::vector<std::string> narrow;
  for (const std::u16string& line : wideLines_) narrow.push_back(conv_->NarrowText(line));
  return JoinServedData(narrow);
}

std::u16string TDdeServerItem::ServedUnicode(ClientKey to) const {
  if (wide_ && !LinesFor) return JoinServedData(wideLines_);
  std::vector<std::u16string> wide;
  const TDdeServerConv plain;
  const TDdeServerConv& conv = conv_ ? *conv_ : plain;
  for (const std::string& line : LinesFor ? LinesFor(to) : lines_)
    wide.push_back(conv.WidenText(line));
  return JoinServedData(wide);
}

void TDdeServerItem::Changed() {
  // Clients watching the item are told on every write, equal value or not:
  // a repeated outcome ("1" after "1") is news to them.
  if (conv_ && conv_->Sink()) conv_->Sink()->ItemChanged(*this);
}

std::vector<std::string> SplitPokeText(const std::uint8_t* data, std::size_t size) {
  std::vector<std::string> lines;
  if (data == nullptr) return lines;
  std::size_t end = 0;
  while (end < size && data[end] != 0) ++end;
  const char* text = reinterpret_cast<const char*>(data);
  std::size_t start = 0;
  std::size_t i = 0;
  while (i < end) {
    const char c = text[i];
    if (c == '\r' || c == '\n') {
      lines.emplace_back(text + start, i - start);
      i += (c == '\r' && i + 1 < end && text[i + 1] == '\n') ? 2 : 1;
      start = i;
    } else {
      ++i;
    }
  }
  if (start < end) lines.emplace_back(text + start, end - start);
  return lines;
}

std::string JoinServedData(const std::vector<std::string>& lines) {
  std::string out;
  for (const std::string& line : lines) {
    out += line;
    out += "\r\n";
  }
  out.push_back('\0');
  return out;
}

std::u16string JoinServedData(const std::vector<std::u16string>& lines) {
  std::u16string out;
  for (const std::u16string& line : lines) {
    out += line;
    out += u"\r\n";
  }
  out.push_back(u'\0');
  return out;
}

std::string ServiceNameFromPath(std::string_view exePath) {
  const std::size_t sep = exePath.find_last_of("\\/");
  std::string_view name = sep == std::string_view::npos ? exePath : exePath.substr(sep + 1);
  const std::size_t dot = name.find('.');
  if (dot != std::string_view::npos) name = name.substr(0, dot);
  return std::string(name);
}

namespace {
char AsciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }
}  // namespace

bool SameTopicName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  }
  return true;
}

bool AcceptsConnect(const ConnectRequest& request, std::string_view convName,
                    const std::function<bool(std::string_view)>& isCaption) {
  if (request.serviceGiven && !request.serviceMatches) return false;
  if (!convName.empty() && SameTopicName(request.topic, convName)) return true;
  return isCaption && isCaption(request.topic);
}

std::string DdeInitErrorText(unsigned code) {
  const char* format;
  switch (code) {
    case 0x4007:  // DMLERR_LOW_MEMORY
    case 0x4008:  // DMLERR_MEMORY_ERROR
      format = "Error occurred when DDE ran out of memory ($0%x)";
      break;
    case 0x400A:  // DMLERR_NO_CONV_ESTABLISHED
      format = "DDE Error - conversation not established ($0%x)";
      break;
    default:
      format = "An error returned from DDE  ($0%x)";
      break;
  }
  char buffer[96];
  std::snprintf(buffer, sizeof buffer, format, code);
  return buffer;
}

}  // namespace varnix
