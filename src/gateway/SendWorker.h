// The send worker: drains the send queue one entry at a time and runs the
// modem dialogue for each. Everything it touches outside GatewayState comes
// in through the small interfaces below, so tests can drive it in virtual
// time against a scripted port.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string_view>
#include <thread>
#include <vector>

#include "inbox/DeliveryReports.h"
#include "modem/ModemPort.h"
#include "gateway/GatewayState.h"
#include "inbox/InboxJoin.h"
#include "message/MessageOutcome.h"

namespace varnix {

class WorkerClock {
 public:
  virtual ~WorkerClock() = default;
  // Monotonic time, for the waits before a retry.
  virtual std::chrono::milliseconds Now() const;
  // A fixed pause of the dialogue.
  virtual void Sleep(std::chrono::milliseconds d) = 0;
  // The idle wait: ends early when an entry is appended or a stop requested.
  virtual void WaitIdle(const SendQueue& queue, std::chrono::milliseconds d) = 0;
};

// Real time: std::this_thread::sleep_for and the queue's own wait.
class SystemWorkerClock final : public WorkerClock {
 public:
  void Sleep(std::chrono::milliseconds d) override;
  void WaitIdle(const SendQueue& queue, std::chrono::milliseconds d) override;
};

// The verdict on the bytes collected so far from the modem.
enum class ReplyVerdict { kPending, kSent, kFailed };
ReplyVerdict JudgeReply(std::string_view collected);

constexpr int kReceiveChunk = 10;  // bytes asked for per read
constexpr int kMaxReads = 11;
constexpr int kMaxBytesPerRead = 4096;

struct ExtSettings;
struct ModemStatus;
struct SubmitPdu;
class ModemLineReader;
class ReaderClock;

class SendWorker {
 public:
  using PostSendDone = std::function<void()>;
  using OutcomeSink = std::function<void(const MessageOutcome&)>;

  SendWorker(GatewayState& state, ModemPort& port, WorkerClock& clock,
             const std::atomic<std::int32_t>& delayMs, PostSendDone postSendDone);
  ~SendWorker();  // joins
  SendWorker(const SendWorker&) = delete;
  SendWorker& operator=(const SendWorker&) = delete;

  // Called on the worker's thread right after it left its loop (set before
  // Start). The window uses it to post itself a message, never to block.
  void SetOnFinished(std::function<void()> onFinished) { onFinished_ = std::move(onFinished); }

  // Before Start: the opt-in capabilities. Without this call, or with all
  // values 0, every message goes out exactly as it always has. Parts and
  // Alphabet are read again for every message; Dialogue is taken here, so
  // it applies from the next start. The prompt-driven dialogue reads the
  // modem through `readerClock` (real time when null). `settings` must
  // outlive the worker.
  void SetExtensions(const ExtSettings& settings, ReaderClock* readerClock = nullptr);

  // Called on the worker's thread with every message's outcome, just before
  // its Status is set and posted. Must not block.
  void SetOnOutcome(OutcomeSink onOutcome) { onOutcome_ = std::move(onOutcome); }

  // Called on the worker's thread after it recorded a change of state that
  // no Status follows (a retry, a message closed at the end), so that the
  // window publishes it. Must not block.
  void SetOnResults(std::function<void()> onResults) { onResults_ = std::move(onResults); }

  // Runs Execute on a new thread. Finished() is false from here until the
  // loop has ended.
  void Start();
  // True once Execute has left its loop (or was never started).
  bool Finished() const { return finished_.load(); }
  void Join();

  // The loop itself; returns when stopRequested is set or no port is open.
  void Execute();

  // One message: the whole dialogue for it, then the post, and its final
  // state to state.results under its id (none for id 0). Never throws: an
  // error during the dialogue gives the outcome "0". With Retries, a
  // failure that cannot have delivered it instead waits for its next
  // attempt, while later messages go ahead.
  void ProcessMessage(const QueuedMessage& message);

  // Messages waiting for a retry, or for a lost port to come back.
  std::size_t RetriesWaiting() const { return retries_.size() + held_.size(); }

  // Before Start, with Watch on: the port's life, and what the window is
  // told of the modem (called on the worker's thread; must not block):
  // every answered check, and the port lost (false) or back (true).
  void SetModemLink(ModemLink* link) { link_ = link; }
  void SetOnModemStatus(std::function<void(const ModemStatus&)> f) { onModemStatus_ = std::move(f); }
  void SetOnPresence(std::function<void(bool present)> f) { onPresence_ = std::move(f); }
  bool PortLost() const { return lost_; }

  // Before Start: where received messages go (called on the worker's
  // thread). With Receive on, the stored messages are listed while idle
  // every Receive s (with Receive 0 and Report 1 every 30 s, for the
  // reports only); without a sink every received message stays in the
  // modem. `sink` must outlive the worker.
  void SetInboxSink(InboxSink* sink) { inboxSink_ = sink; }
  // Parts sent with Report 1 whose report has not come yet; read once the
  // loop has ended.
  std::size_t ReportsAwaited() const { return tracker_.TrackedParts(); }

 private:
  // One message across its attempts: the parts are cut once, so that a
  // retry sends the same PDUs (and reference), and the parts already sent
  // are not sent again.
  struct Attempts {
    QueuedMessage message;
    std::vector<SubmitPdu> pdus;
    std::vector<int> references;  // of the parts sent so far
    int retries = 0;
  };

  void RunAttempt(Attempts& attempts);
  bool HoldForThePort(Attempts& attempts, const MessageOutcome& outcome);
  bool Watching() const { return watchEvery_.count() > 0 && link_ != nullptr; }
  ModemLineReader& WatchReader();
  void RunCheck();
  // The listing of the modem's store (SendWorkerInbox.cpp).
  void TakeInboxSettings(const ExtSettings& settings);
  bool Listing() const { return listEvery_.count() > 0; }
  bool ListingDue();
  bool ListingStarved() const;
  void RunListing(bool holdOn = false);
  bool ListAndHandle(ModemLineReader& reader);
  bool HandOn(ModemLineReader& reader, const std::vector<ListedDeliver>& delivers,
              const std::map<int, std::string>& pdus);
  void HandleReport(ModemLineReader& reader, int index, const SmsStatusReport& report);
  bool Interrupted();
  void TrackSent(const Attempts& attempts, const MessageOutcome& outcome);
  void LosePort();
  void Reconnect();
  void PauseUnlessStopped(std::chrono::milliseconds d);
  bool ScheduleRetry(Attempts& attempts, const MessageOutcome& outcome);
  void CloseWaitingRetries();
  void RunDialogue(Attempts& attempts, MessageOutcome& outcome);
  void RunClassicDialogue(Attempts& attempts, MessageOutcome& outcome, const PartHooks* hooks);
  std::vector<SubmitPdu> BuildParts(const QueuedMessage& message);
  void Report(MessageId id, const MessageOutcome& outcome);
  std::chrono::milliseconds Delay() const;
  int SendText(std::string_view text);
  void ReadWaiting(std::string& collected);

  GatewayState& state_;
  ModemPort& port_;
  WorkerClock& clock_;
  const std::atomic<std::int32_t>& delayMs_;
  PostSendDone postSendDone_;
  std::function<void()> onFinished_;
  OutcomeSink onOutcome_;
  std::function<void()> onResults_;
  // Worker thread only: by the time each is due; equal times keep their
  // order.
  std::multimap<std::chrono::milliseconds, Attempts> retries_;

  // The watched modem; all worker thread only but lost_, which is read by
  // tests after the loop.
  ModemLink* link_ = nullptr;
  std::chrono::milliseconds watchEvery_{0};  // taken at SetExtensions
  ReaderClock* readerClock_ = nullptr;
  std::unique_ptr<ModemLineReader> watchReader_;  // the classic dialogue's checks
  std::function<void(const ModemStatus&)> onModemStatus_;
  std::function<void(bool)> onPresence_;
  std::chrono::milliseconds nextCheck_{0};
  std::chrono::milliseconds nextReopen_{0};
  int silentChecks_ = 0;
  std::atomic<bool> lost_{false};
  // Messages the lost port interrupted before any byte of their PDU went
  // out: they go first once it is back, and it cost them no retry.
  std::deque<Attempts> held_;
  const ExtSettings* extensions_ = nullptr;
  // Received messages and delivery reports; worker thread only.
  InboxSink* inboxSink_ = nullptr;
  std::chrono::milliseconds listEvery_{0};  // taken at SetExtensions; 0: never listed
  std::chrono::milliseconds nextListing_{0};
  bool listingHoldsOn_ = false;  // a starved turn gives way to nothing but a stop
  bool receive_ = false;  // Receive on: messages are handed on and deleted
  bool reports_ = false;  // Report 1: every part asks for a report
  InboxJoin join_;
  DeliveryReports tracker_;
  // Handed on to the sink, but the modem did not confirm their deletion:
  // by index, with the PDU, so that they are deleted again and never handed
  // on twice. Only indices of the last listing stay.
  std::map<int, std::string> handedOn_;
  std::unique_ptr<ReaderClock> ownReaderClock_;
  std::unique_ptr<ModemLineReader> reader_;  // the prompt-driven dialogue; null: classic
  std::uint8_t nextReference_ = 0;           // of the next message sent in parts
  std::thread thread_;
  std::atomic<bool> finished_{true};
};

}  // namespace varnix
