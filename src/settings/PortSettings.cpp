#include "settings/PortSettings.h"

namespace varnix {

PortSettings PortSettings::Defaults() {
  PortSettings s;
  s.Port = 1;
  s.Bit = 8;
  s.Stop = 1;
  s.Parity = 0;
  s.Baud = 9600;
  s.Delay.store(2000);
  return s;
}

std::string FailedToGetData(const std::string& name) {
  return "Failed to get data for '" + name + "'";
}
std::string InvalidDataType(const std::string& name) {
  return "Invalid data type for '" + name + "'";
}
std::string FailedToSetData(const std::string& name) {
  return "Failed to set data for '" + name + "'";
}

void LoadPortSettings(PortSettings& settings, RegistryAccessor& registry) {
  if (!registry.ValueExists("Port")) {
    settings = PortSettings::Defaults();
    SavePortSettings(registry, settings);
    return;
  }
  // Each field is stored as soon as it was read: a failing value leaves the
  // ones before it loaded and the ones after it untouched.
  settings.Port = registry.ReadInteger("Port");
  settings.Bit = registry.ReadInteger("Bit");
  settings.Stop = registry.ReadInteger("Stop");
  settings.Parity = registry.ReadInteger("Parity");
  settings.Baud = registry.ReadInteger("Baud");
  settings.Delay.store(registry.ReadInteger("Delay"));
}

void SavePortSettings(RegistryAccessor& registry, const PortSettings& settings) {
  registry.WriteInteger("Port", settings.Port);
  registry.WriteInteger("Bit", settings.Bit);
  registry.WriteInteger("Stop", settings.Stop);
  registry.WriteInteger("Parity", settings.Parity);
  registry.WriteInteger("Baud", settings.Baud);
  registry.WriteInteger("Delay", settings.Delay.load());
}

std::string SettingsKeyFor(std::string_view service) {
  constexpr std::string_view kBaseService = "Varnix";
  auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
  bool base = service.empty() || service.size() == kBaseService.size();
  for (std::size_t i = 0; base && i < service.size(); ++i)
    base = lower(service[i]) == lower(kBaseService[i]);
  if (base) return kSettingsKey;
  std::string key = kSettingsKey;
  key.append(1, '\\').append(service);
  return key;
}

// Under HKEY_LOCAL_MACHINE where that is allowed, so an administrator's
// settings serve every user; otherwise under HKEY_CURRENT_USER. The outcome
// of the second open is left to the load or save, which report a key they
// cannot use.
void OpenSettingsKey(RegistryAccessor& registry) {
  registry.SetRootKey(RegistryRoot::kLocalMachine);
  if (registry.OpenKey(registry.SettingsKey(), true)) return;
  registry.SetRootKey(RegistryRoot::kCurrentUser);
  registry.OpenKey(registry.SettingsKey(), true);
}


void LoadSettingsFromRegistry(PortSettings& settings, RegistryAccessor& registry) {
  WithSettingsKey(registry, [&] { LoadPortSettings(settings, registry); });
}

void SaveSettingsToRegistry(RegistryAccessor& registry, const PortSettings& settings) {
  WithSettingsKey(registry, [&] { SavePortSettings(registry, settings); });
}

std::optional<std::string> LoadSettingsAtStartup(PortSettings& settings,
                                                 RegistryAccessor& registry) {
  // Whatever cannot be loaded keeps its default, so the gateway still comes
  // up; the error is reported, not fatal.
  settings = PortSettings::Defaults();
  try {
    LoadSettingsFromRegistry(settings, registry);
  } catch (const RegistryError& e) {
    return std::string(e.what());
  }
  return std::nullopt;
}

}  // namespace varnix
