// What an adapter's operation came to, in the adapters' error style: a
// result plus the error text. The text names the call that failed and
// Windows' error code, for a log line or an error box; it is ASCII.
#pragma once

#include <windows.h>

#include <string>

namespace varnix::win32 {

struct Result {
  bool ok = true;
  std::string error;  // empty when ok

  explicit operator bool() const { return ok; }
};

// The failure of `call`, with the thread's last error as it is now: call it
// right after the call that failed, before anything else can change it.
inline Result Failure(const char* call) {
  const DWORD code = ::GetLastError();
  return {false, std::string(call) + " failed, error " + std::to_string(code)};
}

}  // namespace varnix::win32
