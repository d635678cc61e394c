// The outbox journal's file on Windows, and where it lives.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "outbox/Journal.h"
#include "win32/FileIo.h"

namespace varnix::win32 {

// Appends go to a handle kept open between them, each flushed with
// FlushFileBuffers before it returns. A replacement is written to
// "<path>.tmp", flushed, and renamed over the journal with
// MOVEFILE_WRITE_THROUGH, so that a crash leaves the old or the new file
// whole; a temporary file such a crash leaves is overwritten by the next
// replacement and never read. While the handle is open other processes may
// read the file, never write it.
class JournalFile final : public JournalStore {
 public:
  explicit JournalFile(std::wstring path)
      : file_(std::move(path), AppendShare::kReaders, /*flush=*/true) {}

  const std::wstring& Path() const { return file_.Path(); }

  std::optional<std::string> ReadAll() override;
  bool Append(std::string_view bytes) override;
  bool Replace(std::string_view bytes) override;

 private:
  AppendFile file_;
};

// The journal of the service `service`:
// The value of an environment variable; empty when it is not set.
std::wstring EnvironmentValue(const wchar_t* name);

// Makes the folder; true also when it is there already.
bool MakeFolder(const std::wstring& path);

// A service name as the start of a file name, with `suffix` after it:
// characters that a file name cannot hold become '_', and no name at all
// is "Varnix".
std::wstring ServiceFileName(std::wstring_view service, std::wstring_view suffix);

// <base>\Korva\Varnix, created as needed; empty when `base` is empty or
// the folders cannot be made. The journal, the inbox log and the logs
// folder all live there.
std::wstring VarnixFolderIn(const std::wstring& base);

// %ProgramData%\Korva\Varnix\<service>.journal, or the same below
// %LOCALAPPDATA% for a user who cannot create or write it there. The
// folders are created as needed, and the file too (empty). Characters that
// a file name cannot hold become '_'. Empty when neither place can be used.
std::wstring JournalPath(std::wstring_view service);
// The same choice below the given folders (an empty one is skipped).
std::wstring JournalPathUnder(const std::wstring& programData, const std::wstring& localAppData,
                              std::wstring_view service);

// The inbox log of the service, in the same folder by the same choice:
// <service>.inbox.log, created (empty) if need be.
std::wstring InboxLogPath(std::wstring_view service);
std::wstring InboxLogPathUnder(const std::wstring& programData, const std::wstring& localAppData,
                               std::wstring_view service);

}  // namespace varnix::win32
