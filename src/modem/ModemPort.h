// The modem's port as the dialogues see it: bytes out, bytes already
// waiting in, and, for a watched modem, the port's life.
#pragma once

namespace varnix {

// PortSend / PortReceive on the gateway's open port.
class ModemPort {
 public:
  virtual ~ModemPort() = default;
  // 1 when all bytes were written, else 0.
  virtual int Send(const void* data, int count) = 0;
  // Bytes already waiting, at most `max`; never waits for more.
  virtual int Receive(void* buffer, int max) = 0;
};

// The port's life, for a watched modem: whether its device went away, and
// opening it again.
class ModemLink {
 public:
  virtual ~ModemLink() = default;
  // A read, write or status call has failed as it does for a device that
  // went away, since the port was last opened.
  virtual bool DeviceLost() = 0;
  // Closes the port, opens it again with the same settings and sends the
  // two start-up commands with their pauses. True when the port works.
  virtual bool Reopen() = 0;
};

}  // namespace varnix
