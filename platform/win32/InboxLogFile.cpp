#include "win32/InboxLogFile.h"

#include <windows.h>

#include <utility>

namespace varnix::win32 {

std::optional<std::string> InboxLogFile::ReadTail(std::size_t maxBytes) {
  FileHandle file(::CreateFileW(Path().c_str(), GENERIC_READ,
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
  std::string bytes;
  if (!ReadUpTo(file.get(), static_cast<std::size_t>(size.QuadPart - from.QuadPart), bytes)) {
    return std::nullopt;
  }
  // Read from the middle of a line: that line is not whole.
  if (cut) {
    const std::size_t nl = bytes.find('\n');
    bytes.erase(0, nl == std::string::npos ? bytes.size() : nl + 1);
  }
  return bytes;
}

bool InboxLogFile::Append(std::string_view bytes) {
  // A file that cannot be opened has had nothing written to it.
  if (!file_.Open()) return false;
  // After a failed write part of its line may be in the file: the next
  // line begins on a line of its own.
  std::string line = torn_ ? "\r\n" : "";
  line += bytes;
  torn_ = !file_.Append(line);
  return !torn_;
}

}  // namespace varnix::win32
