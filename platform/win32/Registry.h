// The registry accessor of the settings on the Win32 registry.
#pragma once

#include <windows.h>

#include <string>

#include "win32/Handle.h"
#include "settings/PortSettings.h"

namespace varnix {

// Keys are opened in the 32-bit registry view (KEY_WOW64_32KEY), so that a
// 32-bit and a 64-bit build of the program share one set of settings.
class TRegistry final : public RegistryAccessor {
 public:
  TRegistry() = default;
  TRegistry(const TRegistry&) = delete;
  TRegistry& operator=(const TRegistry&) = delete;

  void SetRootKey(RegistryRoot root) override;
  bool OpenKey(const std::string& path, bool canCreate) override;
  bool OpenKeyReadOnly(const std::string& path) override;
  bool ValueExists(const std::string& name) override;
  std::int32_t ReadInteger(const std::string& name) override;
  void WriteInteger(const std::string& name, std::int32_t value) override;
  void CloseKey() override;

 private:
  bool Open(const std::string& path, REGSAM access, bool canCreate);

  HKEY root_ = HKEY_LOCAL_MACHINE;
  win32::RegKey key_;
};

}  // namespace varnix
