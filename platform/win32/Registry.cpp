// The settings' registry accessor on the Win32 registry.
#include "win32/Registry.h"

#include "win32/WinText.h"

// Key paths and value names are ANSI text, as everywhere else in the
// program; the registry itself wants UTF-16.

namespace varnix {
namespace {

constexpr REGSAM kAccess = KEY_READ | KEY_WRITE | KEY_WOW64_32KEY;

}  // namespace

void TRegistry::SetRootKey(RegistryRoot root) {
  root_ = root == RegistryRoot::kCurrentUser ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE;
}

bool TRegistry::Open(const std::string& path, REGSAM access, bool canCreate) {
  CloseKey();
  const std::wstring wpath = win32::AnsiToWide(path);
  HKEY key = nullptr;
  const LONG rc = canCreate ? RegCreateKeyExW(root_, wpath.c_str(), 0, nullptr,
                                              REG_OPTION_NON_VOLATILE, access, nullptr, &key,
                                              nullptr)
                            : RegOpenKeyExW(root_, wpath.c_str(), 0, access, &key);
  if (rc != ERROR_SUCCESS) return false;
  key_.reset(key);
  return true;
}

bool TRegistry::OpenKey(const std::string& path, bool canCreate) {
  return Open(path, kAccess, canCreate);
}

bool TRegistry::OpenKeyReadOnly(const std::string& path) {
  // KEY_READ alone: the access a standard user has to HKLM\Software under
  // UAC (asking for KEY_WRITE as well fails with ERROR_ACCESS_DENIED).
  return Open(path, KEY_READ | KEY_WOW64_32KEY, false);
}

bool TRegistry::ValueExists(const std::string& name) {
  if (!key_) return false;
  const std::wstring wname = win32::AnsiToWide(name);
  return RegQueryValueExW(key_.get(), wname.c_str(), nullptr, nullptr, nullptr, nullptr) ==
         ERROR_SUCCESS;
}

std::int32_t TRegistry::ReadInteger(const std::string& name) {
  if (!key_) throw RegistryError(FailedToGetData(name));
  const std::wstring wname = win32::AnsiToWide(name);
  DWORD type = REG_NONE;
  DWORD data = 0;
  DWORD size = sizeof data;
  // A value whose data does not fit into 4 bytes fails with ERROR_MORE_DATA
  // and is reported like a missing one; only data that fits has its type
  // looked at.
  const LONG rc = RegQueryValueExW(key_.get(), wname.c_str(), nullptr, &type,
                                   reinterpret_cast<BYTE*>(&data), &size);
  if (rc != ERROR_SUCCESS) throw RegistryError(FailedToGetData(name));
  if (type != REG_DWORD) throw RegistryError(InvalidDataType(name));
  return static_cast<std::int32_t>(data);
}

void TRegistry::WriteInteger(const std::string& name, std::int32_t value) {
  if (!key_) throw RegistryError(FailedToSetData(name));
  const std::wstring wname = win32::AnsiToWide(name);
  const DWORD data = static_cast<DWORD>(value);
  if (RegSetValueExW(key_.get(), wname.c_str(), 0, REG_DWORD,
                     reinterpret_cast<const BYTE*>(&data), sizeof data) != ERROR_SUCCESS) {
    throw RegistryError(FailedToSetData(name));
  }
}

void TRegistry::CloseKey() { key_.reset(); }

}  // namespace varnix
