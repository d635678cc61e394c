#include "app/LogRuntime.h"

#include <windows.h>

#include "log/LogLine.h"
#include "log/LogWriter.h"
#include "modem/LoggingPort.h"
#include "win32/DdeServer.h"
#include "win32/LogFiles.h"
#include "win32/WinText.h"

namespace varnix {

LogRuntime::LogRuntime(GatewayState& state) : state_(state) {}

LogRuntime::~LogRuntime() {
  Shutdown();
}

void LogRuntime::Start(const ExtSettings& extensions, const PortSettings& settings,
                       const std::string& settingsKey) {
  const int keepDays = extensions.Log.load();
  if (keepDays <= 0 || writer_) return;
  const std::wstring folder = win32::LogFolder();
  // No folder for the log: the gateway works as it would without one. The
  // writer still runs, losing every line, so that nothing else changes.
  files_ = std::make_unique<win32::LogFolderFiles>(folder);
  clock_ = std::make_unique<win32::LocalLogClock>();
  const std::wstring service = win32::ServiceNameOfThisProcess();
  writer_ = std::make_unique<LogWriter>(*files_, *clock_, win32::LogServiceName(service), keepDays);
  writer_->Start();
  writer_->Line("start-up: service " + win32::WideToUtf8(service) + ", COM" +
                std::to_string(settings.Port) + ", " + std::to_string(settings.Baud) +
                " baud, Log " + std::to_string(keepDays) + ", Dialogue " +
                std::to_string(extensions.Dialogue.load()) + ", Outbox " +
                std::to_string(extensions.Outbox.load()) + ", settings " + settingsKey);
  if (folder.empty()) writer_->Line("log: no folder can be written");
  state_.log = writer_.get();
  LogWriter* writer = writer_.get();
  state_.results.SetObserver(
      [writer](const StateChange& change) { writer->Line(StateLine(change)); });
}

ModemPort& LogRuntime::Port(ModemPort& port) {
  if (!writer_) return port;
  if (!port_) port_ = std::make_unique<LoggingPort>(port, *writer_);
  return *port_;
}

void LogRuntime::SettingsError(const std::optional<std::string>& text) {
  if (!writer_ || !text) return;
  const std::string utf8 = win32::WideToUtf8(win32::AnsiToWide(*text));
  std::size_t from = 0;
  while (from <= utf8.size()) {
    std::size_t end = utf8.find('\n', from);
    if (end == std::string::npos) end = utf8.size();
    if (end > from) writer_->Line("settings error: " + utf8.substr(from, end - from));
    from = end + 1;
  }
}

void LogRuntime::Event(std::string text) {
  if (writer_) writer_->Line(std::move(text));
}

void LogRuntime::Presence(bool present) {
  Event(present ? "port reopened: the modem answers again" : "port lost");
}

void LogRuntime::Shutdown() {
  if (!writer_) return;
  if (port_) port_->Flush();
  state_.results.SetObserver(nullptr);
  state_.log = nullptr;
  writer_->Line("shutdown");
  writer_->Stop();
}

}  // namespace varnix
