#include "win32/InboxLogFile.h"

#include <windows.h>

#include <utility>

namespace varnix::win32 {

std::optional<std::string> InboxLogFile::ReadTail(std::size_t maxBytes) {
  FileHandle file(::CreateFileW(path_.c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) {
    if (::GetLastError() == ERROR_FILE_NOT_FOUND) return std::string();
    return std::nullopt;
  }
  LARGE_INTEGER size{};
  if (!::GetFileSizeEx(file.get(), &size) || size.QuadPart < 0) return std::nullopt;
  const bool cut = static_cast<unsigned long long>(size.QuadPart) > maxBytes;
  LARGE_INTEGER from{};
  from.QuadPart = cut ? size.QuadPart - static_cast<LONGLONG>(maxBytes) : 0;
  if (!::SetFilePointerEx(file.get(), from, nullptr, FILE_BEGIN)) return std::nullopt;
  std::string bytes(static_cast<std::size_t>(size.QuadPart - from.QuadPart), '\0');
  std::size_t got = 0;
  while (got < bytes.size()) {
    DWORD read = 0;
    const std::size_t left = bytes.size() - got;
    const DWORD chunk = static_cast<DWORD>(left < (1u << 20) ? left : (1u << 20));
    if (!::ReadFile(file.get(), bytes.data() + got, chunk, &read, nullptr)) return std::nullopt;
    if (read == 0) break;
    got += read;
  }
  bytes.resize(got);
  // Read from the middle of a line: that line is not whole.
  if (cut) {
    const std::size_t nl = bytes.find('\n');
    bytes.erase(0, nl == std::string::npos ? bytes.size() : nl + 1);
  }
  return bytes;
}

bool InboxLogFile::Append(std::string_view bytes) {
  if (!file_) {
    file_.reset(::CreateFileW(path_.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                              nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file_) return false;
  }
  // After a failed write part of its line may be in the file: the next
  // line begins on a line of its own.
  std::string line = torn_ ? "\r\n" : "";
  line += bytes;
  LARGE_INTEGER zero{};
  DWORD written = 0;
  if (::SetFilePointerEx(file_.get(), zero, nullptr, FILE_END) &&
      ::WriteFile(file_.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr) &&
      written == line.size() && (!flush_ || ::FlushFileBuffers(file_.get()))) {
    torn_ = false;
    return true;
  }
  // The end is not known now: the next append opens the file anew.
  torn_ = true;
  file_.reset();
  return false;
}

}  // namespace varnix::win32
