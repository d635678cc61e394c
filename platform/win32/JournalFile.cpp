#include "win32/JournalFile.h"

#include <windows.h>

#include <utility>

namespace varnix::win32 {
namespace {

// More than any journal the gateway writes; a bigger file is not read.
constexpr LONGLONG kMaxJournalBytes = LONGLONG{512} << 20;

// Whether the journal can be created and written at `path`. A file that
// another process holds open (a second instance of the gateway) is a place
// that can be written, not a reason to move elsewhere.
bool Writable(const std::wstring& path) {
  FileHandle probe(::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
  return probe || ::GetLastError() == ERROR_SHARING_VIOLATION;
}

}  // namespace

std::optional<std::string> JournalFile::ReadAll() {
  FileHandle file(::CreateFileW(Path().c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) {
    const DWORD error = ::GetLastError();
    if (error == ERROR_FILE_NOT_FOUND) return std::string();
    return std::nullopt;
  }
  LARGE_INTEGER size{};
  if (!::GetFileSizeEx(file.get(), &size) || size.QuadPart < 0 ||
      size.QuadPart > kMaxJournalBytes) {
    return std::nullopt;
  }
  // Shorter than it said: what is there counts.
  std::string bytes;
  if (!ReadUpTo(file.get(), static_cast<std::size_t>(size.QuadPart), bytes)) return std::nullopt;
  return bytes;
}

bool JournalFile::Append(std::string_view bytes) { return static_cast<bool>(file_.Append(bytes)); }

bool JournalFile::Replace(std::string_view bytes) {
  // The journal cannot be renamed over while this process holds it open.
  file_.Close();
  const std::wstring temp = Path() + L".tmp";
  {
    FileHandle out(::CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!out) return false;
    // Flushed before the rename: otherwise the rename can reach the disk
    // first and a crash leave an empty or partial journal in its place.
    if (!WriteAll(out.get(), bytes) || !::FlushFileBuffers(out.get())) {
      out.reset();
      ::DeleteFileW(temp.c_str());
      return false;
    }
  }
  if (!::MoveFileExW(temp.c_str(), Path().c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    ::DeleteFileW(temp.c_str());
    return false;
  }
  return true;
}

bool MakeFolder(const std::wstring& path) {
  return ::CreateDirectoryW(path.c_str(), nullptr) || ::GetLastError() == ERROR_ALREADY_EXISTS;
}

std::wstring ServiceFileName(std::wstring_view service, std::wstring_view suffix) {
  std::wstring name(service.empty() ? std::wstring_view(L"Varnix") : service);
  for (wchar_t& c : name) {
    if (c < 0x20 || std::wstring_view(L"<>:\"/\\|?*").find(c) != std::wstring_view::npos) {
      c = L'_';
    }
  }
  return name.append(suffix);
}

std::wstring EnvironmentValue(const wchar_t* name) {
  const DWORD n = ::GetEnvironmentVariableW(name, nullptr, 0);
  if (n == 0) return {};
  std::wstring value(n, L'\0');
  const DWORD got = ::GetEnvironmentVariableW(name, value.data(), n);
  value.resize(got < n ? got : 0);
  return value;
}

std::wstring VarnixFolderIn(const std::wstring& base) {
  if (base.empty()) return {};
  std::wstring folder = base;
  if (folder.back() != L'\\' && folder.back() != L'/') folder += L'\\';
  folder += L"Korva";
  if (!MakeFolder(folder)) return {};
  folder += L"\\Varnix";
  return MakeFolder(folder) ? folder : std::wstring();
}

namespace {

// The first of the two folders where `fileName` can be created and written.
std::wstring DataFilePathUnder(const std::wstring& programData, const std::wstring& localAppData,
                               const std::wstring& fileName) {
  for (const std::wstring* base : {&programData, &localAppData}) {
    const std::wstring folder = VarnixFolderIn(*base);
    if (folder.empty()) continue;
    const std::wstring path = folder + L"\\" + fileName;
    if (Writable(path)) return path;
  }
  return {};
}

}  // namespace

std::wstring JournalPathUnder(const std::wstring& programData, const std::wstring& localAppData,
                              std::wstring_view service) {
  return DataFilePathUnder(programData, localAppData, ServiceFileName(service, L".journal"));
}

std::wstring InboxLogPathUnder(const std::wstring& programData, const std::wstring& localAppData,
                               std::wstring_view service) {
  return DataFilePathUnder(programData, localAppData, ServiceFileName(service, L".inbox.log"));
}

std::wstring JournalPath(std::wstring_view service) {
  return JournalPathUnder(EnvironmentValue(L"ProgramData"), EnvironmentValue(L"LOCALAPPDATA"), service);
}

std::wstring InboxLogPath(std::wstring_view service) {
  return InboxLogPathUnder(EnvironmentValue(L"ProgramData"), EnvironmentValue(L"LOCALAPPDATA"), service);
}

}  // namespace varnix::win32
