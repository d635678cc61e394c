// What the settings dialog shows and stores, without the window: the list
// contents, the fill mapping, the integer conversion and the all-or-nothing
// Apply. The window itself is app/ComSettingsDialog.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "settings/PortSettings.h"

namespace varnix {

inline constexpr std::array<const char*, 5> kPortItems = {"COM1", "COM2", "COM3", "COM4", "COM5"};
inline constexpr std::array<const char*, 4> kDataBitItems = {"8", "7", "6", "5"};
inline constexpr std::array<const char*, 2> kStopBitItems = {"1", "2"};
inline constexpr std::array<const char*, 9> kBaudItems = {
    "300", "1200", "2400", "4800", "9600", "19200", "38400", "57600", "115200"};
// The parity items are Chinese and live with the window; three of them.
inline constexpr int kParityItemCount = 3;
inline constexpr int kMaxDelayChars = 5;
inline constexpr std::int32_t kMaxDelay = 99999;

// The dialog's controls as values: list positions (-1 = no selection) and
// the two texts (UTF-8).
struct ComDialogValues {
  int port = -1;
  int dataBits = -1;
  int stopBits = -1;
  int parity = -1;
  std::string baudText;  // text of the selected baud item, empty without one
  std::string delayText;
};

// Settings -> controls. Positions outside a list become -1.
ComDialogValues FillComDialog(const PortSettings& settings);

// A signed 32-bit integer: leading blanks skipped, optional sign, decimal,
// or hex after "$", "x" or "0x" (either case). Anything else, the empty
// text included, gives nullopt.
std::optional<std::int32_t> StrToInt(std::string_view text);
// "'%s' is not a valid integer value"
std::string NotValidIntegerText(std::string_view text);

struct ApplyOutcome {
  bool ok = false;
  std::string error;      // for the message box when !ok
  PortSettings settings;  // the new record when ok
};
// Controls -> settings, checked as a whole before anything is stored. A list
// without a selection keeps that field's current value.
ApplyOutcome ComputeComApply(const ComDialogValues& values, const PortSettings& current);

}  // namespace varnix
