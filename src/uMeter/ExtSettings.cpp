#include "uMeter/ExtSettings.h"

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

std::int32_t NormalizedParts(std::int32_t raw) { return std::clamp<std::int32_t>(raw, 0, 255); }

std::int32_t NormalizedSwitch(std::int32_t raw) { return std::clamp<std::int32_t>(raw, 0, 1); }

std::optional<std::string> LoadExtSettings(ExtSettings& settings, RegistryAccessor& registry) {
  std::optional<std::string> error;
  settings.Parts.store(NormalizedParts(ReadOptional(registry, "Parts", error)));
  settings.Alphabet.store(NormalizedSwitch(ReadOptional(registry, "Alphabet", error)));
  settings.Dialogue.store(NormalizedSwitch(ReadOptional(registry, "Dialogue", error)));
  settings.Retries.store(std::clamp<std::int32_t>(ReadOptional(registry, "Retries", error), 0, 10));
  const std::int32_t watch = ReadOptional(registry, "Watch", error);
  settings.Watch.store(watch <= 0 ? 0 : std::clamp<std::int32_t>(watch, 10, 3600));
  return error;
}

std::optional<std::string> LoadExtSettingsAtStartup(ExtSettings& settings,
                                                    RegistryAccessor& registry) {
  settings.Parts.store(0);
  settings.Alphabet.store(0);
  settings.Dialogue.store(0);
  settings.Retries.store(0);
  settings.Watch.store(0);
  OpenSettingsKey(registry);
  std::optional<std::string> error;
  try {
    error = LoadExtSettings(settings, registry);
  } catch (...) {
    registry.CloseKey();
    throw;
  }
  registry.CloseKey();
  return error;
}

}  // namespace varnix
