// The log's folder and clock on Windows: the day files appended with
// CreateFileW/WriteFile, listed with FindFirstFileW, removed with
// DeleteFileW, and the local time from GetLocalTime.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "log/LogWriter.h"

namespace varnix::win32 {

// Each append opens the file, writes and closes it again: a file the
// administrator deleted, moved or locked is noticed at the next line
// instead of swallowing lines through a handle that still points at it.
// The writer appends once per burst of lines, so this costs one open per
// burst, on the writer's own thread. A folder that went away is created
// again. Names are UTF-8.
class LogFolderFiles final : public LogFiles {
 public:
  explicit LogFolderFiles(std::wstring folder) : folder_(std::move(folder)) {}
  const std::wstring& Folder() const { return folder_; }

  bool Append(const std::string& name, std::string_view bytes) override;
  std::vector<std::string> List() override;
  bool Remove(const std::string& name) override;

 private:
  std::wstring folder_;
};

class LocalLogClock final : public LogClock {
 public:
  LocalTime Now() const override;
};

// The "logs" folder beside the journal: %ProgramData%\Korva\Varnix\logs, or
// the same below %LOCALAPPDATA% for a user who cannot create or write it
// there. Created as needed; empty when neither place can be used. Unlike
// JournalPath it creates no journal file, so a log without an outbox
// leaves nothing else behind.
std::wstring LogFolder();
std::wstring LogFolderUnder(const std::wstring& programData, const std::wstring& localAppData);

// A service name as a file name's start: characters that a file name
// cannot hold become '_', as in the journal's name.
std::string LogServiceName(std::wstring_view service);

}  // namespace varnix::win32
