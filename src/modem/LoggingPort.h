// A ModemPort that writes the modem dialogue to the log on its way through:
// each Send whole on one line, and the received bytes gathered into lines,
// so that a PDU and the modem's answer to it are one line each. It adds no
// wait and changes no byte; without a log it is not there at all.
#pragma once

#include <string>

#include "log/LogSink.h"
#include "modem/ModemPort.h"

namespace varnix {

class LoggingPort final : public ModemPort {
 public:
  // A received line longer than this is written in pieces.
  static constexpr std::size_t kMaxLine = 1024;

  LoggingPort(ModemPort& port, LogSink& log) : port_(port), log_(log) {}
  ~LoggingPort() override { Flush(); }
  LoggingPort(const LoggingPort&) = delete;
  LoggingPort& operator=(const LoggingPort&) = delete;

  int Send(const void* data, int count) override;
  int Receive(void* buffer, int max) override;

  // Writes what was received since the last line end as a line of its own
  // (a prompt "> " has none). Send does this first.
  void Flush();

 private:
  ModemPort& port_;
  LogSink& log_;
  std::string received_;  // not yet logged
};

}  // namespace varnix
