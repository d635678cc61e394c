// The opt-in capabilities beside the six serial settings: REG_DWORD values
// in the same key, each absent (0) unless an administrator added it. A
// missing value is never written back, so a first start still leaves only
// the six in the key.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <optional>
#include <string>

#include "settings/PortSettings.h"

namespace varnix {

struct ExtSettings {
  // Read by the send worker at every message, hence atomic: the advanced
  // settings dialog may store new values while a message is under way.
  // 0 or 1: one SMS per message; 2 to 255: up to that many concatenated parts.
  std::atomic<std::int32_t> Parts{0};
  // 1: GSM 7-bit for a text that fits; 0: UCS-2 always.
  std::atomic<std::int32_t> Alphabet{0};
  // 1: the prompt-driven dialogue. Taken by the worker when it is set up,
  // so a new value applies at the next start only.
  std::atomic<std::int32_t> Dialogue{0};
  // 1: accepted messages are journaled on disk.
  std::atomic<std::int32_t> Outbox{0};
  // 1 to 10: a failure that is safe to repeat is tried again that often.
  std::atomic<std::int32_t> Retries{0};
  // 10 to 3600: seconds between checks of an idle modem.
  std::atomic<std::int32_t> Watch{0};
  // 5 to 3600: seconds between looks for incoming messages and reports.
  std::atomic<std::int32_t> Receive{0};
  // 1: every part asks for a status report.
  std::atomic<std::int32_t> Report{0};
  // 1 to 365: days a daily log is kept.
  std::atomic<std::int32_t> Log{0};
};

// When a stored value takes effect.
enum class Applies { kNextMessage, kNextStart };

// One opt-in value: its registry name, the range it may take when on (0 is
// always allowed: off), when a new value applies, and its field.
struct ExtValue {
  const char* name;
  std::int32_t low;
  std::int32_t high;
  Applies applies;
  std::atomic<std::int32_t> ExtSettings::*field;
};

// In the order they are read, shown and written.
inline constexpr std::array<ExtValue, 9> kExtValues = {{
    {"Parts", 1, 255, Applies::kNextMessage, &ExtSettings::Parts},
    {"Alphabet", 1, 1, Applies::kNextMessage, &ExtSettings::Alphabet},
    {"Dialogue", 1, 1, Applies::kNextStart, &ExtSettings::Dialogue},
    {"Outbox", 1, 1, Applies::kNextStart, &ExtSettings::Outbox},
    {"Retries", 1, 10, Applies::kNextMessage, &ExtSettings::Retries},
    {"Watch", 10, 3600, Applies::kNextStart, &ExtSettings::Watch},
    {"Receive", 5, 3600, Applies::kNextStart, &ExtSettings::Receive},
    {"Report", 1, 1, Applies::kNextStart, &ExtSettings::Report},
    {"Log", 1, 365, Applies::kNextStart, &ExtSettings::Log},
}};

// The allowed value nearest to what the registry holds: 0 or less is 0
// (off), anything else is brought into low..high ("Watch" 3 is 10).
std::int32_t Normalized(const ExtValue& value, std::int32_t raw);
std::int32_t NormalizedParts(std::int32_t raw);
std::int32_t NormalizedSwitch(std::int32_t raw);  // Alphabet, Dialogue, Outbox, Report: 0 or 1

// Reads the nine values from the open key. Each one stands alone: a value
// that cannot be read leaves its capability off (0) and the others are
// still read. Returns the first error's text ("Invalid data type for
// 'Parts'"), the same text the six report.
std::optional<std::string> LoadExtSettings(ExtSettings& settings, RegistryAccessor& registry);

// Start-up, after the six: the same key (HKEY_LOCAL_MACHINE, or
// HKEY_CURRENT_USER for a user who may not write there), closed again on
// every path. Never throws a registry error; returns it for the error box.
std::optional<std::string> LoadExtSettingsAtStartup(ExtSettings& settings,
                                                    RegistryAccessor& registry);

// Writes all nine values into the settings key, in order, closing it on
// every path. Throws RegistryError (FailedToSetData) for a value that
// cannot be stored; the ones before it are stored then.
void SaveExtSettingsToRegistry(RegistryAccessor& registry, const ExtSettings& settings);

}  // namespace varnix
