// The gateway's life on the GUI thread: the settings load, the DDE topic and
// its items, the serial port, the modem initialisation and the send worker
// at start-up, and the stop sequence at shutdown. The main window calls the
// steps from its handlers, in order, and does what is to be seen (status
// bar, window state) in between.
#pragma once

#include <windows.h>

#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "dde/DdeModel.h"
#include "gateway/GatewayState.h"
#include "dde/ModemItems.h"
#include "dde/ResultItems.h"
#include "dde/SendRule.h"
#include "app/LogRuntime.h"
#include "app/InboxRuntime.h"
#include "settings/ExtSettings.h"
#include "settings/PortSettings.h"
#include "win32/SerialPort.h"

namespace varnix {

class Journal;
class SendWorker;
class WorkerClock;
class AnsiCodec;
namespace win32 {
class DdeServer;
class JournalFile;
}

inline constexpr char kTopicName[] = "SMS0";

// Posted by the worker to the main window once it has left its loop.
inline constexpr UINT WM_WORKERDONE = WM_APP + 102;
// With Watch: a check was answered (the values wait in the runtime), and
// the port was lost (wParam 0) or is back (wParam 1).
inline constexpr UINT WM_MODEMSTATUS = WM_APP + 104;
inline constexpr UINT WM_PRESENCE = WM_APP + 105;

// A 1 ms system timer period for as long as it lives. The prompt-driven
// worker polls the port with short sleeps; at the default tick of 15.6 ms
// each sleep would cost a whole tick and a part would lose tens of ms.
class FineTimerPeriod {
 public:
  FineTimerPeriod();
  ~FineTimerPeriod();
  FineTimerPeriod(const FineTimerPeriod&) = delete;
  FineTimerPeriod& operator=(const FineTimerPeriod&) = delete;

 private:
  bool raised_;
};

class GatewayRuntime {
 public:
  // The records and the registry accessor are the main window's; they
  // outlive the runtime.
  GatewayRuntime(GatewayState& state, PortSettings& settings, RegistryAccessor& registry);
  // Normally the stop sequence has run; this covers an end of the process
  // by another path (a failed creation, the end of the session).
  ~GatewayRuntime();
  GatewayRuntime(const GatewayRuntime&) = delete;
  GatewayRuntime& operator=(const GatewayRuntime&) = delete;

  // The process's DDE service; the topic is handed to it by CreateTopic.
  void SetDdeServer(win32::DdeServer* server) { ddeServer_ = server; }

  // Start-up, in this order. The queue exists from the start (GatewayState).
  // Settings from the registry: whatever cannot be loaded keeps its
  // default; the error text, if any, is returned for the error box.
  std::optional<std::string> LoadSettings();
  // With Outbox (inside LoadSettings): the journal of this service, and
  // what it kept of the last run queued again, before any new message.
  std::optional<std::string> OpenOutbox();

  // The target of WM_SENDDONE, then the topic, registered whatever the port
  // does.
  void CreateTopic(HWND mainWindow);
  // Clears the stop flag and opens the port; false when it cannot be opened.
  bool OpenPort();
  // The eight items, then Id, Result and Queue (and the others their
  // settings ask for); Wakeup = "1".
  void CreateItems();
  // The two modem commands with their pauses, then the worker, last, when
  // everything it reads is in place. It reports to `mainWindow`.
  void InitModemAndStartWorker(HWND mainWindow);

  // The opt-in values as the worker reads them; the advanced settings
  // dialog stores those that apply to the next message here too.
  ExtSettings& Extensions() { return extSettings_; }

  // With Watch, on the GUI thread: the latest answered check into Signal,
  // Network and Operator; returns the status bar's text for it.
  std::wstring PublishModemStatus();
  // Wakeup follows the port.
  void PublishPresence(bool present);
  // With Receive, on WM_INBOX: what the worker received into Inbox.
  void PublishInbox();

  // Shutdown: raises the stop flag (an idle worker leaves at once).
  void RequestStop();
  // True once the worker has left its loop, and when none was started.
  bool WorkerFinished() const;
  // Waits for the worker, publishes an outcome still waiting in
  // `mainWindow`'s queue, releases the queue and closes the port.
  void FinishStop(HWND mainWindow);

 private:
  GatewayState& state_;
  PortSettings& settings_;
  RegistryAccessor& registry_;
  std::unique_ptr<TDdeServerConv> ddeConv;
  ItemOwner itemOwner_;
  ResultItemOwner resultItemOwner_;
  ModemItemOwner modemItemOwner_;  // only with Watch
  std::mutex modemStatusMutex_;
  ModemStatus modemStatus_;  // the worker's latest check, for the window
  win32::DdeServer* ddeServer_ = nullptr;

  ExtSettings extSettings_;  // read by the worker: declared before it
  LogRuntime log_{state_};  // the worker and the port write to it: before both
  // With Outbox; used by both threads, so declared before the worker.
  std::unique_ptr<win32::JournalFile> journalFile_;
  std::unique_ptr<Journal> journal_;
  int recoveredUnknown_ = 0;  // messages of the last run that end unknown
  // With Receive: the worker's inbox sink, so declared before it.
  std::unique_ptr<InboxRuntime> inbox_;
  SerialPort port_;          // outlives the worker, which is declared after it
  std::unique_ptr<ModemLink> link_;  // with Watch: the port opened again by the worker
  std::unique_ptr<WorkerClock> workerClock_;
  std::unique_ptr<AnsiCodec> codec_;
  // Only with Dialogue 1; given back once the worker has been joined.
  std::optional<FineTimerPeriod> fineTimer_;
  std::unique_ptr<SendWorker> worker_;
};

}  // namespace varnix
