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
    // The administrator's key is theirs to fill; the defaults serve until then.
    if (!registry.SettingsReadOnly()) SavePortSettings(registry, settings);
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
  if (registry.SettingsReadOnly()) throw RegistryError(FailedToSetData("Port"));
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

std::string RegistryAccessor::DescribeChoice() const {
  if (!choice_) return {};
  std::string text = choice_->root == RegistryRoot::kLocalMachine ? "HKLM\\" : "HKCU\\";
  text += settingsKey_;
  if (choice_->readOnly) text += " (read-only)";
  return text;
}

// The first open is the one every earlier version made, so that where HKLM
// can be written (every user under Wine, an administrator on Windows) the
// same key is opened with the same calls. The outcome of the last open is left
// to the load or save, which report a key they cannot use.
void ChooseSettingsKey(RegistryAccessor& registry) {
  const std::string& key = registry.SettingsKey();
  registry.SetRootKey(RegistryRoot::kLocalMachine);
  if (registry.OpenKey(key, true)) {
    registry.SetChoice({RegistryRoot::kLocalMachine, false});
    return;
  }
  // Under UAC a user who is not an administrator cannot open HKLM for
  // writing, but can read it.
  if (registry.OpenKeyReadOnly(key)) {
    registry.SetChoice({RegistryRoot::kLocalMachine, true});
    return;
  }
  registry.SetRootKey(RegistryRoot::kCurrentUser);
  registry.OpenKey(key, true);
  registry.SetChoice({RegistryRoot::kCurrentUser, false});
}

void OpenSettingsKey(RegistryAccessor& registry) {
  if (!registry.Choice()) {
    ChooseSettingsKey(registry);
    return;
  }
  const SettingsKeyChoice choice = *registry.Choice();
  registry.SetRootKey(choice.root);
  if (choice.readOnly) {
    registry.OpenKeyReadOnly(registry.SettingsKey());
  } else {
    registry.OpenKey(registry.SettingsKey(), true);
  }
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
