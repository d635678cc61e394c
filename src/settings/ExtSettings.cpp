#include "settings/ExtSettings.h"

#include <algorithm>

namespace varnix {

namespace {

// 0 when absent; the error text when present but unreadable.
std::int32_t ReadOptional(RegistryAccessor& registry, const std::string& name,
                          std::optional<std::string>& firstError) {
  if (!registry.ValueExists(name)) return 0;
  try {
    return registry.ReadInteger(name);
  } catch (const RegistryError& e) {
    if (!firstError) firstError = e.what();
    return 0;
  }
}


}  // namespace

std::int32_t Normalized(const ExtValue& value, std::int32_t raw) {
  return raw <= 0 ? 0 : std::clamp(raw, value.low, value.high);
}

std::int32_t NormalizedParts(std::int32_t raw) { return std::clamp<std::int32_t>(raw, 0, 255); }

std::int32_t NormalizedSwitch(std::int32_t raw) { return std::clamp<std::int32_t>(raw, 0, 1); }

std::optional<std::string> LoadExtSettings(ExtSettings& settings, RegistryAccessor& registry) {
  std::optional<std::string> error;
  for (const ExtValue& v : kExtValues)
    (settings.*v.field).store(Normalized(v, ReadOptional(registry, v.name, error)));
  return error;
}

std::optional<std::string> LoadExtSettingsAtStartup(ExtSettings& settings,
                                                    RegistryAccessor& registry) {
  for (const ExtValue& v : kExtValues) (settings.*v.field).store(0);
  std::optional<std::string> error;
  WithSettingsKey(registry, [&] { error = LoadExtSettings(settings, registry); });
  return error;
}

void SaveExtSettingsToRegistry(RegistryAccessor& registry, const ExtSettings& settings) {
  WithSettingsKey(registry, [&] {
    if (registry.SettingsReadOnly()) throw RegistryError(FailedToSetData(kExtValues[0].name));
    for (const ExtValue& v : kExtValues) registry.WriteInteger(v.name, (settings.*v.field).load());
  });
}

}  // namespace varnix
