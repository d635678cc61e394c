#include "win32/FileIo.h"

#include <utility>

namespace varnix::win32 {
namespace {

// ReadFile and WriteFile take a DWORD count: large buffers go in pieces.
constexpr std::size_t kPiece = std::size_t{1} << 20;

DWORD PieceOf(std::size_t left) { return static_cast<DWORD>(left < kPiece ? left : kPiece); }

}  // namespace

Result WriteAll(HANDLE file, std::string_view bytes) {
  while (!bytes.empty()) {
    DWORD written = 0;
    if (!::WriteFile(file, bytes.data(), PieceOf(bytes.size()), &written, nullptr)) {
      return Failure("WriteFile");
    }
    if (written == 0) return {false, "WriteFile wrote nothing"};
    bytes.remove_prefix(written);
  }
  return {};
}

Result ReadUpTo(HANDLE file, std::size_t size, std::string& bytes) {
  bytes.assign(size, '\0');
  std::size_t got = 0;
  while (got < size) {
    DWORD read = 0;
    if (!::ReadFile(file, bytes.data() + got, PieceOf(size - got), &read, nullptr)) {
      return Failure("ReadFile");
    }
    if (read == 0) break;
    got += read;
  }
  bytes.resize(got);
  return {};
}

Result AppendFile::Open() {
  if (file_) return {};
  const bool everyone = share_ == AppendShare::kEveryone;
  file_.reset(::CreateFileW(
      path_.c_str(), everyone ? FILE_APPEND_DATA : GENERIC_READ | GENERIC_WRITE,
      everyone ? FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE : FILE_SHARE_READ, nullptr,
      OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  return file_ ? Result{} : Failure("CreateFileW");
}

Result AppendFile::Append(std::string_view bytes) {
  if (Result opened = Open(); !opened) return opened;
  Result written = WriteAtEnd(bytes);
  if (!written) file_.reset();
  return written;
}

Result AppendFile::WriteAtEnd(std::string_view bytes) {
  LARGE_INTEGER zero{};
  if (share_ == AppendShare::kReaders &&
      !::SetFilePointerEx(file_.get(), zero, nullptr, FILE_END)) {
    return Failure("SetFilePointerEx");
  }
  if (Result written = WriteAll(file_.get(), bytes); !written) return written;
  if (flush_ && !::FlushFileBuffers(file_.get())) return Failure("FlushFileBuffers");
  return {};
}

}  // namespace varnix::win32
