#include "gateway/SendWorker.h"

#include <new>
#include <string>

#include "outbox/Journal.h"
#include "settings/ExtSettings.h"
#include "modem/ModemLineReader.h"
#include "sms/PduEncoder.h"
#include "modem/PromptDialogue.h"
#include "modem/RetryPolicy.h"
#include "sms/SubmitParts.h"

namespace varnix {

using std::chrono::milliseconds;

milliseconds WorkerClock::Now() const {
  return std::chrono::duration_cast<milliseconds>(
      std::chrono::steady_clock::now().time_since_epoch());
}

void SystemWorkerClock::Sleep(milliseconds d) { std::this_thread::sleep_for(d); }

void SystemWorkerClock::WaitIdle(const SendQueue& queue, milliseconds d) {
  queue.WaitForEntry(d);
}

SendWorker::SendWorker(GatewayState& state, ModemPort& port, WorkerClock& clock,
                       const std::atomic<std::int32_t>& delayMs, PostSendDone postSendDone)
    : state_(state),
      port_(port),
      clock_(clock),
      delayMs_(delayMs),
      postSendDone_(std::move(postSendDone)) {}

SendWorker::~SendWorker() { Join(); }

void SendWorker::SetExtensions(const ExtSettings& settings, ReaderClock* readerClock) {
  extensions_ = &settings;
  reader_.reset();
  watchReader_.reset();
  if (!readerClock) {
    if (!ownReaderClock_) ownReaderClock_ = std::make_unique<SystemReaderClock>();
    readerClock = ownReaderClock_.get();
  }
  readerClock_ = readerClock;
  const std::int32_t watch = settings.Watch.load();
  watchEvery_ = std::chrono::seconds(watch > 0 ? std::clamp<std::int32_t>(watch, 10, 3600) : 0);
  TakeInboxSettings(settings);
  if (settings.Dialogue.load() != 1) return;
  reader_ = std::make_unique<ModemLineReader>(port_, *readerClock);
}

void SendWorker::Start() {
  // Cleared here, before the thread exists: shutdown reads Finished() to
  // decide whether the queue and the port may go, and a stale "true" from an
  // earlier run (or the constructor) would let it tear them down under a
  // worker that has only just begun.
  finished_.store(false);
  thread_ = std::thread([this] {
    try {
      Execute();
    } catch (...) {
      // Errors of one message are handled inside the loop; what gets here
      // came from the loop itself (the idle wait). The worker ends, but
      // still says so below, so that shutdown does not wait for it in vain.
    }
    finished_.store(true);
    try {
      if (onFinished_) onFinished_();
    } catch (...) {
      // An exception leaving a std::thread would end the whole process.
    }
  });
}

void SendWorker::Join() {
  if (thread_.joinable()) thread_.join();
}

milliseconds SendWorker::Delay() const {
  // A negative Delay from the registry must not become an endless pause.
  const std::int32_t d = delayMs_.load();
  return milliseconds(d < 0 ? 0 : d);
}

void SendWorker::Execute() {
  nextCheck_ = clock_.Now() + watchEvery_;
  nextListing_ = clock_.Now() + listEvery_;
  for (;;) {
    if (state_.stopRequested.load() || state_.portHandle == kNoPort) {
      CloseWaitingRetries();
      return;
    }
    if (lost_) {
      Reconnect();
      continue;
    }
    if (!held_.empty()) {
      Attempts next = std::move(held_.front());
      held_.pop_front();
      RunAttempt(next);
      continue;
    }
    if (!retries_.empty() && retries_.begin()->first <= clock_.Now()) {
      Attempts due = std::move(retries_.begin()->second);
      retries_.erase(retries_.begin());
      RunAttempt(due);
      continue;
    }
    // Under a queue that never empties the idle turn would never come, and
    // the store would fill with messages and reports nobody reads.
    if (Listing() && ListingStarved()) {
      RunListing(true);
      continue;
    }
    std::optional<QueuedMessage> message = state_.sendQueue.TakeNext();
    if (message) {
      ProcessMessage(*message);
      continue;
    }
    if (Watching() && clock_.Now() >= nextCheck_) {
      RunCheck();
      continue;
    }
    if (Listing() && ListingDue()) {
      RunListing();
      continue;
    }
    milliseconds wait = Delay();
    if (!retries_.empty()) wait = std::min(wait, retries_.begin()->first - clock_.Now());
    if (Watching()) wait = std::min(wait, nextCheck_ - clock_.Now());
    if (Listing()) wait = std::min(wait, nextListing_ - clock_.Now());
    clock_.WaitIdle(state_.sendQueue, std::max(wait, milliseconds(0)));
  }
}

void SendWorker::CloseWaitingRetries() {
  // Without an outbox nothing outlives the program: what waited for a
  // retry ends like a message still in the queue, with no Status. With it
  // they stay journaled and come back at the next start.
  if (state_.journal) {
    retries_.clear();
    held_.clear();
    return;
  }
  if (retries_.empty() && held_.empty()) return;
  try {
    for (const Attempts& attempts : held_)
      if (attempts.message.id != 0)
        state_.results.Push({attempts.message.id, MessageState::kFailed, "closed"});
    for (const auto& [due, attempts] : retries_)
      if (attempts.message.id != 0)
        state_.results.Push({attempts.message.id, MessageState::kFailed, "closed"});
    if (onResults_) onResults_();
  } catch (...) {
  }
  retries_.clear();
  held_.clear();
}

int SendWorker::SendText(std::string_view text) {
  return port_.Send(text.data(), static_cast<int>(text.size()));
}

void SendWorker::ProcessMessage(const QueuedMessage& message) {
  Attempts attempts;
  attempts.message = message;
  // A message the outbox brought back goes on after its parts already sent.
  attempts.references = message.sentReferences;
  RunAttempt(attempts);
}

void SendWorker::RunAttempt(Attempts& attempts) {
  MessageOutcome outcome;
  outcome.references = attempts.references;
  try {
    RunDialogue(attempts, outcome);
  } catch (...) {
    // Whatever went wrong with this one message (memory, a text that was
    // lost, the port) ends only this message: it is reported as not sent, in its place
    // among the outcomes, and the next entry goes out as usual. A worker
    // that ended here would leave every later message acknowledged to its
    // client but never sent. What the outcome knew by then (parts sent, a
    // PDU that went out) stays.
    try {
      FailPart(outcome, outcome.failedPart, "internal error");
    } catch (...) {
      outcome.sent = false;
    }
  }
  if (HoldForThePort(attempts, outcome)) return;
  if (ScheduleRetry(attempts, outcome)) return;
  TrackSent(attempts, outcome);
  Report(attempts.message.id, outcome);
}

bool SendWorker::ScheduleRetry(Attempts& attempts, const MessageOutcome& outcome) {
  const std::int32_t allowed = extensions_ ? extensions_->Retries.load() : 0;
  if (outcome.sent || attempts.retries >= std::min<std::int32_t>(allowed, 10) ||
      !IsSafeToRetry(outcome))
    return false;
  try {
    ++attempts.retries;
    attempts.references = outcome.references;
    const milliseconds wait = RetryWait(attempts.retries);
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(wait).count();
    if (attempts.message.id != 0)
      state_.results.Push({attempts.message.id, MessageState::kRetry,
                           std::to_string(seconds) + " " + outcome.why});
    const MessageId id = attempts.message.id;
    const int part = outcome.failedPart;
    retries_.emplace(clock_.Now() + wait, std::move(attempts));
    if (state_.journal && id != 0) state_.journal->AttemptFailed(id, part);
  } catch (...) {
    // No room to keep it waiting: it ends with this attempt's failure.
    return false;
  }
  if (onResults_) onResults_();
  return true;
}

void SendWorker::Report(MessageId id, const MessageOutcome& outcome) {
  try {
    if (onOutcome_) onOutcome_(outcome);
    // Pushed before the Status is set: the post below publishes both, the
    // message's Result line first.
    if (id != 0) {
      const StateChange change = FinalChange(id, outcome);
      if (state_.journal) state_.journal->Finished(id, change.state, change.detail);
      state_.results.Push(change);
    }
  } catch (...) {
    // The details are lost; the Status below still goes out.
  }
  try {
    state_.statusText.Set(outcome.sent ? "1" : "0");
    if (postSendDone_) postSendDone_();
  } catch (...) {
    // The message is over either way. No second outcome and no second post
    // for it: clients match outcomes to messages by their order, so an extra
    // one would shift every later result. An outcome that was set but not
    // posted waits in statusText and goes out with the next post; one that
    // could not even be set is not posted, since the post would publish an
    // older result in its place.
  }
}

std::vector<SubmitPdu> SendWorker::BuildParts(const QueuedMessage& message) {
  // Fails here, as its conversion would have: in its place, after the same
  // bytes.
  if (message.textLost) throw std::bad_alloc();
  SubmitOptions options;
  if (extensions_) {
    options.parts = extensions_->Parts.load();
    options.alphabet = extensions_->Alphabet.load();
  }
  options.statusReport = reports_;
  // With the outbox a message's parts may go out across a restart: the
  // reference comes from its id, so the parts sent after it still match.
  options.reference = state_.journal && message.id != 0
                          ? static_cast<std::uint8_t>(message.id & 0xFF)
                          : nextReference_;
  std::vector<SubmitPdu> pdus = BuildSubmitParts(message.number, message.text, options);
  // Only a message in parts uses up a reference; std::uint8_t wraps at 256.
  if (pdus.size() > 1) ++nextReference_;
  return pdus;
}

void SendWorker::RunDialogue(Attempts& attempts, MessageOutcome& outcome) {
  const QueuedMessage& message = attempts.message;

  // A number with anything but digits after an optional "+" could carry
  // control characters (Ctrl-Z, ESC) into the modem: it is never sent. The
  // send rule queues an empty number for a Num that held a comma, so that
  // case is refused here too, in queue order.
  if (!IsSendableNumber(message.number)) {
    outcome.why = "refused number";
    return;
  }
  // With the outbox every part is journaled as it goes.
  std::unique_ptr<PartHooks> hooks;
  if (Journal* journal = state_.journal; journal && message.id != 0) {
    hooks = std::make_unique<PartHooks>();
    const MessageId id = message.id;
    hooks->beforePdu = [journal, id](int part) { return journal->PartGoingOut(id, part); };
    hooks->sent = [journal, id](int part, int reference) {
      journal->PartSent(id, part, reference);
    };
  }
  if (reader_) {
    if (attempts.pdus.empty()) attempts.pdus = BuildParts(message);
    RunPromptDialogue(*reader_, attempts.pdus, outcome, hooks.get());
    return;
  }
  RunClassicDialogue(attempts, outcome, hooks.get());
}

}  // namespace varnix
