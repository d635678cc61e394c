// Where the program's log lines go. Line never waits for the disk: the
// writer behind it stamps the time and queues the text, and drops it when
// its queue is full. Callers on any thread.
#pragma once

#include <string>

namespace varnix {

class LogSink {
 public:
  virtual ~LogSink() = default;
  // One event, without time stamp or line end. Bytes outside printable
  // ASCII (a CR, LF, a byte of another code page) are written escaped.
  virtual void Line(std::string text) = 0;
};

}  // namespace varnix
