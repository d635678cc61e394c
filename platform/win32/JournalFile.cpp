#include "win32/JournalFile.h"

#include <windows.h>

#include <utility>

namespace varnix::win32 {
namespace {

// More than any journal the gateway writes; a bigger file is not read.
constexpr LONGLONG kMaxJournalBytes = LONGLONG{512} << 20;
// WriteFile takes a DWORD count: large buffers go in pieces.
constexpr std::size_t kWriteChunk = std::size_t{1} << 20;

bool WriteAll(HANDLE file, std::string_view bytes) {
  while (!bytes.empty()) {
    const DWORD chunk = static_cast<DWORD>(bytes.size() < kWriteChunk ? bytes.size() : kWriteChunk);
    DWORD written = 0;
    if (!::WriteFile(file, bytes.data(), chunk, &written, nullptr) || written == 0) return false;
    bytes.remove_prefix(written);
  }
  return true;
}

std::wstring FileNameOf(std::wstring_view service, std::wstring_view suffix) {
  std::wstring name(service.empty() ? std::wstring_view(L"Varnix") : service);
  for (wchar_t& c : name) {
    if (c < 0x20 || std::wstring_view(L"<>:\"/\\|?*").find(c) != std::wstring_view::npos) {
      c = L'_';
    }
  }
  return name.append(suffix);
}

bool MakeFolder(const std::wstring& path) {
  return ::CreateDirectoryW(path.c_str(), nullptr) || ::GetLastError() == ERROR_ALREADY_EXISTS;
}

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

JournalFile::JournalFile(std::wstring path) : path_(std::move(path)) {}

std::optional<std::string> JournalFile::ReadAll() {
  FileHandle file(::CreateFileW(path_.c_str(), GENERIC_READ,
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
  std::string bytes(static_cast<std::size_t>(size.QuadPart), '\0');
  std::size_t got = 0;
  while (got < bytes.size()) {
    const std::size_t left = bytes.size() - got;
    const DWORD chunk = static_cast<DWORD>(left < kWriteChunk ? left : kWriteChunk);
    DWORD read = 0;
    if (!::ReadFile(file.get(), bytes.data() + got, chunk, &read, nullptr)) return std::nullopt;
    if (read == 0) break;  // shorter than it said: what is there counts
    got += read;
  }
  bytes.resize(got);
  return bytes;
}

bool JournalFile::Append(std::string_view bytes) {
  if (!file_) {
    file_.reset(::CreateFileW(path_.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                              nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file_) return false;
  }
  // Always at the end: after a failed write the position is not known.
  LARGE_INTEGER zero{};
  if (::SetFilePointerEx(file_.get(), zero, nullptr, FILE_END) && WriteAll(file_.get(), bytes) &&
      ::FlushFileBuffers(file_.get())) {
    return true;
  }
  file_.reset();
  return false;
}

bool JournalFile::Replace(std::string_view bytes) {
  // The journal cannot be renamed over while this process holds it open.
  file_.reset();
  const std::wstring temp = path_ + L".tmp";
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
  if (!::MoveFileExW(temp.c_str(), path_.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    ::DeleteFileW(temp.c_str());
    return false;
  }
  return true;
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
  return DataFilePathUnder(programData, localAppData, FileNameOf(service, L".journal"));
}

std::wstring InboxLogPathUnder(const std::wstring& programData, const std::wstring& localAppData,
                               std::wstring_view service) {
  return DataFilePathUnder(programData, localAppData, FileNameOf(service, L".inbox.log"));
}

std::wstring JournalPath(std::wstring_view service) {
  return JournalPathUnder(EnvironmentValue(L"ProgramData"), EnvironmentValue(L"LOCALAPPDATA"), service);
}

std::wstring InboxLogPath(std::wstring_view service) {
  return InboxLogPathUnder(EnvironmentValue(L"ProgramData"), EnvironmentValue(L"LOCALAPPDATA"), service);
}

}  // namespace varnix::win32
