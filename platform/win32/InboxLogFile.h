// The inbox log's file on Windows (inbox/InboxLog.h).
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "inbox/InboxLog.h"
#include "win32/Handle.h"

namespace varnix::win32 {

// Appends go to a handle kept open between them, always at the end; with
// `flush` (the outbox on) each is on the disk (FlushFileBuffers) before it
// returns. Other processes may read the file while it is open, never write.
class InboxLogFile final : public InboxLogStore {
 public:
  InboxLogFile(std::wstring path, bool flush) : path_(std::move(path)), flush_(flush) {}

  const std::wstring& Path() const { return path_; }

  std::optional<std::string> ReadTail(std::size_t maxBytes) override;
  bool Append(std::string_view bytes) override;

 private:
  std::wstring path_;
  bool flush_;
  FileHandle file_;
  bool torn_ = false;
};

}  // namespace varnix::win32
