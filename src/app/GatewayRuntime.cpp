#include "app/GatewayRuntime.h"

#include <timeapi.h>

#include <string_view>

#include "win32/DdeServer.h"
#include "win32/JournalFile.h"
#include "win32/WinText.h"
#include "outbox/Journal.h"
#include "gateway/Outbox.h"
#include "dde/ResultItems.h"
#include "text/AnsiCodec.h"
#include "gateway/SendWorker.h"

namespace varnix {
namespace {

constexpr char kModemEchoOff[] = "ATE0\r";
constexpr char kModemNoIndications[] = "AT+CNMI=0, 0, 0, 0, 0\r";
// With Report: status reports are stored in the modem, for the listing.
constexpr char kModemStoreReports[] = "AT+CNMI=0, 0, 0, 2, 0\r";

DWORD PauseOf(const PortSettings& settings) {
  // A negative Delay from the registry would be an endless Sleep.
  const std::int32_t d = settings.Delay.load();
  return d < 0 ? 0 : static_cast<DWORD>(d);
}

// The two start-up commands, each followed by its pause of Delay ms; the
// replies are purged by the next send.
void InitModem(ModemPort& port, const PortSettings& settings, const ExtSettings& ext) {
  port.Send(kModemEchoOff, static_cast<int>(sizeof kModemEchoOff - 1));
  Sleep(PauseOf(settings));
  const std::string_view indications =
      ext.Report.load() == 1 ? kModemStoreReports : kModemNoIndications;
  port.Send(indications.data(), static_cast<int>(indications.size()));
  Sleep(PauseOf(settings));
}

// The watched modem's port, opened again on the worker's thread. Under
// Wine the open of a port whose device is still away succeeds and its
// first comm call fails; PortOpen counts that as a failed open.
class PortLink final : public ModemLink {
 public:
  // The start-up commands go through `io` (the log's port, with Log).
  PortLink(SerialPort& port, ModemPort& io, const PortSettings& settings, const ExtSettings& ext)
      : port_(port), io_(io), settings_(settings), ext_(ext) {}
  bool DeviceLost() override { return port_.DeviceLost(); }
  bool Reopen() override {
    port_.PortClose();
    if (port_.PortOpen(settings_) == kNoPort) return false;
    InitModem(io_, settings_, ext_);
    return !port_.DeviceLost();
  }

 private:
  SerialPort& port_;
  ModemPort& io_;
  const PortSettings& settings_;
  const ExtSettings& ext_;
};

}  // namespace

FineTimerPeriod::FineTimerPeriod() : raised_(timeBeginPeriod(1) == TIMERR_NOERROR) {}

FineTimerPeriod::~FineTimerPeriod() {
  if (raised_) timeEndPeriod(1);
}

GatewayRuntime::GatewayRuntime(GatewayState& state, PortSettings& settings,
                               RegistryAccessor& registry)
    : state_(state), settings_(settings), registry_(registry) {}

GatewayRuntime::~GatewayRuntime() {
  if (worker_) {
    if (inbox_) inbox_->Stop();
    state_.RequestStop();
    worker_->Join();
  }
  // The service outlives the main window; it must not keep the topic.
  if (ddeServer_) ddeServer_->SetConversation(nullptr);
}

std::optional<std::string> GatewayRuntime::LoadSettings() {
  std::optional<std::string> error = LoadSettingsAtStartup(settings_, registry_);
  // The opt-in values after the six, from the same key; one that cannot be
  // read is reported in the same box and its capability stays off.
  if (std::optional<std::string> e = LoadExtSettingsAtStartup(extSettings_, registry_))
    error = error ? *error + "\n" + *e : *e;
  log_.Start(extSettings_, settings_, registry_.DescribeChoice());
  if (std::optional<std::string> e = OpenOutbox()) error = error ? *error + "\n" + *e : *e;
  log_.SettingsError(error);
  return error;
}

std::optional<std::string> GatewayRuntime::OpenOutbox() {
  if (extSettings_.Outbox.load() != 1) return std::nullopt;
  const std::wstring path = win32::JournalPath(win32::ServiceNameOfThisProcess());
  // Without a journal the gateway still sends, as it would without Outbox;
  // the box says so.
  if (path.empty()) return win32::WideToAnsi(L"无法创建发件箱文件, 消息只保存在内存中");
  journalFile_ = std::make_unique<win32::JournalFile>(path);
  journal_ = std::make_unique<Journal>(*journalFile_);
  // What it kept is decoded through the code page as it is restored.
  if (!codec_) codec_ = MakeSystemAnsiCodec();
  state_.codec = codec_.get();
  Recovery recovery = journal_->Load();
  if (!recovery.usable) {
    journal_.reset();
    journalFile_.reset();
    return win32::WideToAnsi(L"无法读取发件箱文件 " + path + L", 消息只保存在内存中");
  }
  recoveredUnknown_ = RestoreFromOutbox(state_, *journal_, recovery);
  return std::nullopt;
}

void GatewayRuntime::CreateTopic(HWND mainWindow) {
  state_.mainWindow = reinterpret_cast<std::uintptr_t>(mainWindow);
  ddeConv = std::make_unique<TDdeServerConv>();
  ddeConv->SetName(kTopicName);
  if (ddeServer_) ddeServer_->SetConversation(ddeConv.get());
}

bool GatewayRuntime::OpenPort() {
  state_.stopRequested.store(false);
  state_.portHandle = port_.PortOpen(settings_);
  if (state_.portHandle == kNoPort)
    log_.Event("port COM" + std::to_string(settings_.Port) + " failed to open");
  return state_.portHandle != kNoPort;
}

void GatewayRuntime::CreateItems() {
  // One code page for the pokes, the executes and the restored messages.
  if (!codec_) codec_ = MakeSystemAnsiCodec();
  state_.codec = codec_.get();
  itemOwner_.CreateItems(*ddeConv, state_);
  resultItemOwner_.CreateItems(*ddeConv, state_, *codec_);
  const HWND window = reinterpret_cast<HWND>(state_.mainWindow);
  state_.schedulePublish = [window] { PostMessageW(window, WM_RESULTS, 0, 0); };
  // What the last run left unknown is told now that the items exist.
  for (; recoveredUnknown_ > 0; --recoveredUnknown_) PostMessageW(window, WM_SENDDONE, 0, 0);
  if (extSettings_.Watch.load() > 0) modemItemOwner_.CreateItems(*ddeConv);
  if (extSettings_.Receive.load() > 0)
    inbox_ = std::make_unique<InboxRuntime>(*ddeConv, window, win32::ServiceNameOfThisProcess(),
                                            extSettings_.Outbox.load() == 1);
  state_.items[kWakeup]->SetText("1");
}

void GatewayRuntime::InitModemAndStartWorker(HWND mainWindow) {
  InitModem(log_.Port(port_), settings_, extSettings_);

  // The worker reports through the window's queue only: a SendMessage from
  // it could deadlock against a GUI thread that waits for it at shutdown.
  workerClock_ = std::make_unique<SystemWorkerClock>();
  worker_ = std::make_unique<SendWorker>(
      state_, log_.Port(port_), *workerClock_, settings_.Delay,
      [mainWindow] { PostMessageW(mainWindow, WM_SENDDONE, 0, 0); });
  worker_->SetOnFinished([mainWindow] { PostMessageW(mainWindow, WM_WORKERDONE, 0, 0); });
  worker_->SetOnResults([mainWindow] { PostMessageW(mainWindow, WM_RESULTS, 0, 0); });
  worker_->SetExtensions(extSettings_);
  if (extSettings_.Watch.load() > 0) {
    link_ = std::make_unique<PortLink>(port_, log_.Port(port_), settings_, extSettings_);
    worker_->SetModemLink(link_.get());
    worker_->SetOnModemStatus([this, mainWindow](const ModemStatus& status) {
      {
        std::lock_guard lock(modemStatusMutex_);
        modemStatus_ = status;
      }
      PostMessageW(mainWindow, WM_MODEMSTATUS, 0, 0);
    });
    worker_->SetOnPresence([this, mainWindow](bool present) {
      log_.Presence(present);
      PostMessageW(mainWindow, WM_PRESENCE, present ? 1 : 0, 0);
    });
  }
  if (inbox_) worker_->SetInboxSink(inbox_.get());
  if (extSettings_.Dialogue.load() == 1) fineTimer_.emplace();
  worker_->Start();
}

std::wstring GatewayRuntime::PublishModemStatus() {
  ModemStatus status;
  {
    std::lock_guard lock(modemStatusMutex_);
    status = modemStatus_;
  }
  return modemItemOwner_.Publish(status);
}

void GatewayRuntime::PublishPresence(bool present) { varnix::PublishPresence(state_, present); }

void GatewayRuntime::PublishInbox() {
  if (inbox_) inbox_->PublishWaiting();
}

void GatewayRuntime::RequestStop() {
  if (inbox_) inbox_->Stop();
  state_.RequestStop();
}

bool GatewayRuntime::WorkerFinished() const { return !worker_ || worker_->Finished(); }

void GatewayRuntime::FinishStop(HWND mainWindow) {
  if (worker_) worker_->Join();
  fineTimer_.reset();
  // The worker can be seen finished while its last WM_SENDDONE still waits
  // in the queue; destroying the window would drop that outcome.
  MSG pending;
  while (PeekMessageW(&pending, mainWindow, WM_SENDDONE, WM_SENDDONE, PM_REMOVE)) {
    WMSendDone(state_, pending.wParam);
  }
  // Nothing may reach the queue or the port any more. What still waited
  // ends failed "closed", told to clients while the service is still up.
  FailWaiting(state_, state_.sendQueue.Release());
  port_.PortClose();
  state_.portHandle = kNoPort;
  log_.Shutdown();
}

}  // namespace varnix
