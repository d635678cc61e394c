// Reading and writing through file handles: the loops that move a whole
// buffer in the pieces ReadFile and WriteFile take, and the file that is
// only ever appended to (the journal, the inbox log, the log's day files).
#pragma once

#include <windows.h>

#include <cstddef>
#include <string>
#include <string_view>

#include "win32/Handle.h"
#include "win32/Result.h"

namespace varnix::win32 {

// Writes all of `bytes` at the handle's position, in pieces of at most
// 1 MiB (WriteFile takes a DWORD count). A write that took only part is
// carried on; one that took nothing fails.
Result WriteAll(HANDLE file, std::string_view bytes);

// Reads `size` bytes from the handle's position into `bytes`, in the same
// pieces; fewer when the file ends first (what is there counts).
Result ReadUpTo(HANDLE file, std::size_t size, std::string& bytes);

// Who else may open the file while an AppendFile holds it.
enum class AppendShare {
  // Readers only. The handle may read too (GENERIC_READ | GENERIC_WRITE),
  // so every append first moves to the end: after a failed write the
  // position is not known.
  kReaders,
  // Anyone, to read, write or delete. The handle has FILE_APPEND_DATA
  // alone: every write goes to the end, also when another process (an
  // editor) appended meanwhile.
  kEveryone,
};

// A file written only at its end. It is opened at the first append
// (OPEN_ALWAYS: made if need be) and kept open between appends; a failed
// append closes it, so that the next one opens the file anew. With `flush`,
// each append is on the disk (FlushFileBuffers) before it returns.
class AppendFile {
 public:
  AppendFile(std::wstring path, AppendShare share, bool flush)
      : path_(std::move(path)), share_(share), flush_(flush) {}

  const std::wstring& Path() const { return path_; }

  // Opens the file unless it is open; Append does the same by itself.
  Result Open();
  Result Append(std::string_view bytes);
  // Gives the handle up, as a rename over the file needs.
  void Close() { file_.reset(); }

 private:
  Result WriteAtEnd(std::string_view bytes);

  std::wstring path_;
  AppendShare share_;
  bool flush_;
  FileHandle file_;
};

}  // namespace varnix::win32
