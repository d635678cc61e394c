// The serial-line settings and Delay, and their persistence in the registry
// key "Software\Korva\Varnix\2.00" as six REG_DWORD values (an instance
// under another service name has its own subkey, see SettingsKeyFor).
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

namespace varnix {

struct PortSettings {
  std::int32_t Port = 0;
  std::int32_t Bit = 0;
  std::int32_t Stop = 0;
  std::int32_t Parity = 0;
  std::int32_t Baud = 0;
  // Read by the send worker at every pause while the dialog may store a new
  // value, hence atomic.
  std::atomic<std::int32_t> Delay{0};

  PortSettings() = default;
  PortSettings(const PortSettings& o) { *this = o; }
  PortSettings& operator=(const PortSettings& o) {
    Port = o.Port;
    Bit = o.Bit;
    Stop = o.Stop;
    Parity = o.Parity;
    Baud = o.Baud;
    Delay.store(o.Delay.load());
    return *this;
  }
  bool operator==(const PortSettings& o) const {
    return Port == o.Port && Bit == o.Bit && Stop == o.Stop && Parity == o.Parity &&
           Baud == o.Baud && Delay.load() == o.Delay.load();
  }

  static PortSettings Defaults();  // COM1, 8 bits, 1 stop, no parity, 9600, 2000 ms
};

inline constexpr const char* kSettingsKey = "Software\\Korva\\Varnix\\2.00";

// The key of the instance serving DDE under `service` (the executable's name
// cut at its first dot): kSettingsKey for "Varnix" in any case, else
// kSettingsKey + "\\" + service, so that one PC can run one copy of the
// program per modem, each with its own settings. An empty name (an
// executable called ".exe") keeps kSettingsKey: it has no subkey to name.
std::string SettingsKeyFor(std::string_view service);

// A registry error, with the system's own texts:
//   "Failed to get data for '%s'", "Invalid data type for '%s'",
//   "Failed to set data for '%s'".
class RegistryError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};
std::string FailedToGetData(const std::string& name);
std::string InvalidDataType(const std::string& name);
std::string FailedToSetData(const std::string& name);

enum class RegistryRoot { kLocalMachine, kCurrentUser };

// Exactly the registry operations the settings need, and the key of this
// instance's settings, which every load and save opens.
class RegistryAccessor {
 public:
  virtual ~RegistryAccessor() = default;
  const std::string& SettingsKey() const { return settingsKey_; }
  void SetSettingsKey(std::string key) { settingsKey_ = std::move(key); }

  virtual void SetRootKey(RegistryRoot root) = 0;
  // Opens the key for reading and writing below the root, creating it when
  // allowed and missing. Reports success.
  virtual bool OpenKey(const std::string& path, bool canCreate) = 0;
  // Any type; false when no key is open.
  virtual bool ValueExists(const std::string& name) = 0;
  // Throws RegistryError: missing or longer than 4 bytes -> FailedToGetData,
  // 4 bytes or fewer but not REG_DWORD -> InvalidDataType.
  virtual std::int32_t ReadInteger(const std::string& name) = 0;
  // Throws RegistryError(FailedToSetData) when it cannot store, also with no
  // key open.
  virtual void WriteInteger(const std::string& name, std::int32_t value) = 0;
  virtual void CloseKey() = 0;

 private:
  std::string settingsKey_ = kSettingsKey;
};

// Fills the record from the open key, storing each field as soon as it was
// read; without a "Port" value, sets the defaults and saves them. Throws.
void LoadPortSettings(PortSettings& settings, RegistryAccessor& registry);
// Writes all six values in order. Throws.
void SavePortSettings(RegistryAccessor& registry, const PortSettings& settings);

// Opens the accessor's settings key for reading and writing, creating it
// when missing.
void OpenSettingsKey(RegistryAccessor& registry);

// Runs `body` with the settings key open (OpenSettingsKey), and closes it
// again on every path, a throw included.
template <typename Body>
void WithSettingsKey(RegistryAccessor& registry, Body body) {
  OpenSettingsKey(registry);
  try {
    body();
  } catch (...) {
    registry.CloseKey();
    throw;
  }
  registry.CloseKey();
}

// The key access sequence around a load or a save: the key under
// HKEY_LOCAL_MACHINE, or under HKEY_CURRENT_USER when HKLM cannot be opened
// for writing (a user without administrator rights). Closes the key on every
// path. Throws what the load or save throws.
void LoadSettingsFromRegistry(PortSettings& settings, RegistryAccessor& registry);
void SaveSettingsToRegistry(RegistryAccessor& registry, const PortSettings& settings);

// Start-up: never fails. Fields that cannot be loaded keep their defaults;
// the registry error text, if any, is returned for the error box.
std::optional<std::string> LoadSettingsAtStartup(PortSettings& settings,
                                                 RegistryAccessor& registry);

}  // namespace varnix
