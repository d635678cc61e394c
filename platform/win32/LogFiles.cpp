#include "win32/LogFiles.h"

#include <windows.h>

#include "win32/FileIo.h"
#include "win32/Handle.h"
#include "win32/JournalFile.h"
#include "win32/WinText.h"

namespace varnix::win32 {
namespace {

// Whether a file can be created in `folder`: a probe that is gone again
// when its handle closes.
bool CanWriteIn(const std::wstring& folder) {
  const std::wstring probe = folder + L"\\~varnix-probe.tmp";
  FileHandle file(::CreateFileW(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr));
  return static_cast<bool>(file);
}

}  // namespace

bool LogFolderFiles::Append(const std::string& name, std::string_view bytes) {
  // No folder could be found at start-up: "\\name" would be the drive's root.
  if (folder_.empty()) return false;
  MakeFolder(folder_);
  // Held for this append only (see the header), and by everyone's leave: a
  // second look at the file in an editor may append meanwhile.
  AppendFile file(folder_ + L"\\" + Utf8ToWide(name), AppendShare::kEveryone, /*flush=*/false);
  return static_cast<bool>(file.Append(bytes));
}

std::vector<std::string> LogFolderFiles::List() {
  std::vector<std::string> names;
  if (folder_.empty()) return names;
  WIN32_FIND_DATAW found{};
  const std::wstring pattern = folder_ + L"\\*.log";
  HANDLE search = ::FindFirstFileW(pattern.c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
      names.push_back(WideToUtf8(found.cFileName));
    }
  } while (::FindNextFileW(search, &found));
  ::FindClose(search);
  return names;
}

bool LogFolderFiles::Remove(const std::string& name) {
  if (folder_.empty()) return false;
  const std::wstring path = folder_ + L"\\" + Utf8ToWide(name);
  return ::DeleteFileW(path.c_str()) != 0;
}

LocalTime LocalLogClock::Now() const {
  SYSTEMTIME t{};
  ::GetLocalTime(&t);
  return {t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds};
}

std::wstring LogFolderUnder(const std::wstring& programData, const std::wstring& localAppData) {
  for (const std::wstring* base : {&programData, &localAppData}) {
    const std::wstring varnix = VarnixFolderIn(*base);
    if (varnix.empty()) continue;
    const std::wstring folder = varnix + L"\\logs";
    if (MakeFolder(folder) && CanWriteIn(folder)) return folder;
  }
  return {};
}

std::wstring LogFolder() {
  return LogFolderUnder(EnvironmentValue(L"ProgramData"), EnvironmentValue(L"LOCALAPPDATA"));
}

std::string LogServiceName(std::wstring_view service) {
  return WideToUtf8(ServiceFileName(service, L""));
}

}  // namespace varnix::win32
