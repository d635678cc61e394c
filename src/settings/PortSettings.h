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

// Where this instance's settings live, chosen once at start-up.
struct SettingsKeyChoice {
  RegistryRoot root = RegistryRoot::kLocalMachine;
  // The machine's key that this user may read but not write: the
  // administrator's settings, shown and used, never written.
  bool readOnly = false;
};

// The box a settings dialog shows for Apply on a read-only machine key
// (UTF-8).
inline constexpr const char* kMachineKeyReadOnlyText =
    "这些设置保存在本机注册表键 HKEY_LOCAL_MACHINE 中, 只有管理员才能修改。"
    "请让管理员修改这些设置 (例如导入 .reg 文件), 然后重新启动 Varnix。";

// Exactly the registry operations the settings need, and the key of this
// instance's settings, which every load and save opens.
class RegistryAccessor {
 public:
  virtual ~RegistryAccessor() = default;
  const std::string& SettingsKey() const { return settingsKey_; }
  void SetSettingsKey(std::string key) { settingsKey_ = std::move(key); }
  // Set by the first open of the settings key (ChooseSettingsKey); every
  // later load and save uses the same key.
  const std::optional<SettingsKeyChoice>& Choice() const { return choice_; }
  void SetChoice(SettingsKeyChoice choice) { choice_ = choice; }
  bool SettingsReadOnly() const { return choice_ && choice_->readOnly; }
  // "HKLM\Software\...", with " (read-only)" for the administrator's key;
  // empty before the choice.
  std::string DescribeChoice() const;

  virtual void SetRootKey(RegistryRoot root) = 0;
  // Opens the key for reading and writing below the root, creating it when
  // allowed and missing. Reports success.
  virtual bool OpenKey(const std::string& path, bool canCreate) = 0;
  // Opens an existing key for reading only. Reports success.
  virtual bool OpenKeyReadOnly(const std::string& path) = 0;
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
  std::optional<SettingsKeyChoice> choice_;
};

// Fills the record from the open key, storing each field as soon as it was
// read; without a "Port" value, sets the defaults and saves them. Throws.
void LoadPortSettings(PortSettings& settings, RegistryAccessor& registry);
// Writes all six values in order. Throws.
void SavePortSettings(RegistryAccessor& registry, const PortSettings& settings);

// Chooses the settings key and leaves it open: the machine's key (HKLM)
// when it can be opened for writing, or created there; else the machine's
// key read-only when it exists (a user without rights under UAC reads what
// an administrator imported); else the user's key (HKCU), created when
// missing. Where HKLM can be written every user gets the machine's key.
void ChooseSettingsKey(RegistryAccessor& registry);

// Opens the chosen settings key (choosing it first when no choice was
// made): for reading and writing, creating it when missing, or for reading
// only when it is the administrator's.
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

// A load or a save with the settings key open (OpenSettingsKey). Closes the
// key on every path. Throws what the load or save throws. A read-only key
// is loaded without writing the defaults into it, and saving into it throws
// FailedToSetData before anything is written.
void LoadSettingsFromRegistry(PortSettings& settings, RegistryAccessor& registry);
void SaveSettingsToRegistry(RegistryAccessor& registry, const PortSettings& settings);

// Start-up: never fails. Fields that cannot be loaded keep their defaults;
// the registry error text, if any, is returned for the error box.
std::optional<std::string> LoadSettingsAtStartup(PortSettings& settings,
                                                 RegistryAccessor& registry);

}  // namespace varnix
