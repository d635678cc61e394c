// The administrator's log in the running program: with Log N (1-365) the
// writer and its thread, its folder, the modem port that writes the
// dialogue to it, the watch on every change of a message's state, and the
// lines of the program's own life (start-up, settings errors, the port
// lost and back, shutdown). With Log 0 none of it exists: the port is the
// serial port itself and no file or folder is touched.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "gateway/GatewayState.h"
#include "settings/ExtSettings.h"
#include "settings/PortSettings.h"
#include "gateway/SendWorker.h"

namespace varnix {

class LogWriter;
class LoggingPort;
namespace win32 {
class LogFolderFiles;
class LocalLogClock;
}  // namespace win32

class LogRuntime {
 public:
  explicit LogRuntime(GatewayState& state);
  ~LogRuntime();  // Shutdown, if it has not run
  LogRuntime(const LogRuntime&) = delete;
  LogRuntime& operator=(const LogRuntime&) = delete;

  // At start-up, once the opt-in values are read and before anything is
  // queued: with Log > 0, the writer and the line "start-up".
  // `settingsKey` names the registry key the settings came from.
  void Start(const ExtSettings& extensions, const PortSettings& settings,
             const std::string& settingsKey);
  bool On() const { return writer_ != nullptr; }

  // The port to talk to the modem through: with the log, one that writes
  // each string to and from the modem to it; else `port` itself. Always
  // called with the same port.
  ModemPort& Port(ModemPort& port);

  // The start-up error box's text (ANSI code page), one line per error.
  void SettingsError(const std::optional<std::string>& text);
  // A free-standing event, in UTF-8.
  void Event(std::string text);
  // The watched port went away (false) or works again (true).
  void Presence(bool present);

  // The line "shutdown", then what is queued is written and the thread
  // ends. Nothing is logged after it.
  void Shutdown();

 private:
  GatewayState& state_;
  // Declared in the order of use: the port writes to the writer, the
  // writer to the files.
  std::unique_ptr<win32::LogFolderFiles> files_;
  std::unique_ptr<win32::LocalLogClock> clock_;
  std::unique_ptr<LogWriter> writer_;
  std::unique_ptr<LoggingPort> port_;
};

}  // namespace varnix
