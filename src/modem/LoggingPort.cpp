#include "modem/LoggingPort.h"

#include <string_view>

#include "log/LogLine.h"

namespace varnix {
namespace {

bool OnlyLineEnds(std::string_view bytes) {
  return bytes.find_first_not_of("\r\n") == std::string_view::npos;
}

}  // namespace

int LoggingPort::Send(const void* data, int count) {
  Flush();
  if (count > 0) {
    log_.Line(ModemLine(
        ModemDirection::kToModem,
        std::string_view(static_cast<const char*>(data), static_cast<std::size_t>(count))));
  }
  const int ok = port_.Send(data, count);
  if (!ok) log_.Line("modem: the write failed");
  return ok;
}

int LoggingPort::Receive(void* buffer, int max) {
  const int n = port_.Receive(buffer, max);
  if (n <= 0) return n;
  const char* bytes = static_cast<const char*>(buffer);
  for (int i = 0; i < n; ++i) {
    received_ += bytes[i];
    // The modem frames each answer as CR LF <text> CR LF: a line ends at
    // the LF after some text, so the leading CR LF stays with its text and
    // "OK" is not preceded by a line of nothing.
    if ((bytes[i] == '\n' && !OnlyLineEnds(received_)) || received_.size() >= kMaxLine) Flush();
  }
  return n;
}

void LoggingPort::Flush() {
  if (received_.empty()) return;
  log_.Line(ModemLine(ModemDirection::kFromModem, received_));
  received_.clear();
}

}  // namespace varnix
