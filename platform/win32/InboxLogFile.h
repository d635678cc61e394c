// The inbox log's file on Windows (inbox/InboxLog.h).
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "inbox/InboxLog.h"
#include "win32/FileIo.h"

namespace varnix::win32 {

// Appends go to a handle kept open between them, always at the end; with
// `flush` (the outbox on) each is on the disk (FlushFileBuffers) before it
// returns. Other processes may read the file while it is open, never write.
class InboxLogFile final : public InboxLogStore {
 public:
  InboxLogFile(std::wstring path, bool flush)
      : file_(std::move(path), AppendShare::kReaders, flush) {}

  const std::wstring& Path() const { return file_.Path(); }

  std::optional<std::string> ReadTail(std::size_t maxBytes) override;
  bool Append(std::string_view bytes) override;

 private:
  AppendFile file_;
  bool torn_ = false;
};

}  // namespace varnix::win32
