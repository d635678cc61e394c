#include "settings/ComSettings.h"

#include <cstdint>
#include <limits>

namespace varnix {
namespace {

// Position of `value` in a list of `count` items after the given shift, or
// -1. Worked in 64 bits: a registry value may be anything.
int ListPosition(std::int64_t position, int count) {
  return (position >= 0 && position < count) ? static_cast<int>(position) : -1;
}

bool ValidPosition(int position, std::size_t count) {
  return position >= 0 && static_cast<std::size_t>(position) < count;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

ComDialogValues FillComDialog(const PortSettings& settings) {
  ComDialogValues v;
  v.port = ListPosition(std::int64_t{settings.Port} - 1, static_cast<int>(kPortItems.size()));
  v.dataBits = ListPosition(8 - std::int64_t{settings.Bit}, static_cast<int>(kDataBitItems.size()));
  v.stopBits = ListPosition(std::int64_t{settings.Stop} - 1, static_cast<int>(kStopBitItems.size()));
  v.parity = ListPosition(settings.Parity, kParityItemCount);
  const std::string baud = std::to_string(settings.Baud);
  for (const char* item : kBaudItems) {
    if (baud == item) v.baudText = item;
  }
  v.delayText = std::to_string(settings.Delay.load());
  return v;
}

std::optional<std::int32_t> StrToInt(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && text[i] == ' ') ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) {
    negative = text[i] == '-';
    ++i;
  }
  bool hex = false;
  if (i < text.size() && (text[i] == '$' || text[i] == 'x' || text[i] == 'X')) {
    hex = true;
    ++i;
  } else if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
    hex = true;
    i += 2;
  }
  if (i == text.size()) return std::nullopt;  // nothing after the sign or prefix

  // Decimal must fit the signed range; hexadecimal may use all 32 bits and
  // is taken as a two's complement pattern ("$FFFFFFFF" is -1), as the
  // framework's own conversion does.
  const std::uint64_t limit =
      hex ? 0xFFFFFFFFull
          : (negative ? std::uint64_t{1} << 31 : std::uint64_t{std::numeric_limits<std::int32_t>::max()});
  std::uint64_t value = 0;
  for (; i < text.size(); ++i) {
    int d = hex ? HexDigit(text[i]) : (text[i] >= '0' && text[i] <= '9' ? text[i] - '0' : -1);
    if (d < 0) return std::nullopt;
    value = value * (hex ? 16 : 10) + static_cast<std::uint64_t>(d);
    if (value > limit) return std::nullopt;
  }
  auto bits = static_cast<std::uint32_t>(value);
  if (negative) bits = ~bits + 1u;
  return static_cast<std::int32_t>(bits);
}

namespace {

// Built by appending: GCC 12 at -O3 warns falsely (-Wrestrict) about
// "'" + std::string + "...".
std::string Quoted(std::string_view text, std::string_view tail) {
  std::string out;
  out.reserve(text.size() + tail.size() + 2);
  out.append(1, '\'').append(text).append(1, '\'').append(tail);
  return out;
}

}  // namespace

std::string NotValidIntegerText(std::string_view text) {
  return Quoted(text, " is not a valid integer value");
}

ApplyOutcome ComputeComApply(const ComDialogValues& values, const PortSettings& current) {
  ApplyOutcome out;
  PortSettings next = current;
  if (ValidPosition(values.port, kPortItems.size())) next.Port = values.port + 1;
  if (ValidPosition(values.dataBits, kDataBitItems.size())) next.Bit = 8 - values.dataBits;
  if (ValidPosition(values.stopBits, kStopBitItems.size())) next.Stop = values.stopBits + 1;
  if (ValidPosition(values.parity, static_cast<std::size_t>(kParityItemCount))) next.Parity = values.parity;

  // An empty baud text means the list has no selection (a rate from the
  // registry that is not among the items): the stored rate stays.
  if (!values.baudText.empty()) {
    auto baud = StrToInt(values.baudText);
    if (!baud) {
      out.error = NotValidIntegerText(values.baudText);
      return out;
    }
    next.Baud = *baud;
  }

  auto delay = StrToInt(values.delayText);
  if (!delay) {
    out.error = NotValidIntegerText(values.delayText);
    return out;
  }
  // A negative pause would be an endless one for the worker.
  if (*delay < 0 || *delay > kMaxDelay) {
    out.error = Quoted(values.delayText, " is not a valid Delay: it must be 0..99999 ms");
    return out;
  }
  next.Delay.store(*delay);

  out.ok = true;
  out.settings = next;
  return out;
}

}  // namespace varnix
