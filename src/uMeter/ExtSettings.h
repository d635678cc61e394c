// The opt-in capabilities beside the six serial settings: REG_DWORD values
// in the same key, each absent (0) unless an administrator added it. A
// missing value is never written back, so a first start still leaves only
// the six in the key.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>

#include "uMeter/PortSettings.h"

namespace varnix {

struct ExtSettings {
  // Read by the send worker at every message, hence atomic: a later
  // settings dialog may store new values while a message is under way.
  // 0 or 1: one SMS per message; 2 to 255: up to that many concatenated parts.
  std::atomic<std::int32_t> Parts{0};
  // 1: GSM 7-bit for a text that fits; 0: UCS-2 always.
  std::atomic<std::int32_t> Alphabet{0};
  // 1: the prompt-driven dialogue. Taken by the worker when it is set up,
  // so a new value applies at the next start only.
  std::atomic<std::int32_t> Dialogue{0};
  // 1 to 10: a failure that is safe to repeat is tried again that often.
  std::atomic<std::int32_t> Retries{0};
  // 10 to 3600: seconds between checks of an idle modem.
  std::atomic<std::int32_t> Watch{0};
};

// The allowed value nearest to what the registry holds (a negative one is 0).
std::int32_t NormalizedParts(std::int32_t raw);
std::int32_t NormalizedSwitch(std::int32_t raw);  // Alphabet, Dialogue: 0 or 1

// Reads the three values from the open key. Each one stands alone: a value
// that cannot be read leaves its capability off (0) and the others are
// still read. Returns the first error's text ("Invalid data type for
// 'Parts'"), the same text the six report.
std::optional<std::string> LoadExtSettings(ExtSettings& settings, RegistryAccessor& registry);

// Start-up, after the six: the same key (HKEY_LOCAL_MACHINE, or
// HKEY_CURRENT_USER for a user who may not write there), closed again on
// every path. Never throws a registry error; returns it for the error box.
std::optional<std::string> LoadExtSettingsAtStartup(ExtSettings& settings,
                                                    RegistryAccessor& registry);

}  // namespace varnix
