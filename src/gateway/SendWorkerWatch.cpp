// The send worker's watch over its modem: the checks while idle, a port
// that went away, and opening it again every 5 s while messages wait.
#include <algorithm>

#include "outbox/Journal.h"
#include "modem/ModemWatch.h"
#include "sms/PduEncoder.h"
#include "gateway/SendWorker.h"

namespace varnix {

using std::chrono::milliseconds;

namespace {
constexpr milliseconds kReopenEvery{5000};
constexpr int kSilentChecksUntilLost = 3;
// A pause while the port is away is cut into slices, so that a stop is
// seen within one of them.
constexpr milliseconds kPauseSlice{250};
}  // namespace

bool SendWorker::HoldForThePort(Attempts& attempts, const MessageOutcome& outcome) {
  if (!Watching() || outcome.sent || !link_->DeviceLost()) return false;
  LosePort();
  // A PDU that went out, even in part, may have been sent: that failure
  // stands. One that never left waits for the port and costs no retry.
  if (outcome.pduWentOut) return false;
  attempts.references = outcome.references;
  const MessageId id = attempts.message.id;
  const int part = outcome.failedPart;
  held_.push_back(std::move(attempts));
  if (state_.journal && id != 0) state_.journal->AttemptFailed(id, part);
  return true;
}

ModemLineReader& SendWorker::WatchReader() {
  if (reader_) return *reader_;
  if (!watchReader_) watchReader_ = std::make_unique<ModemLineReader>(port_, *readerClock_);
  return *watchReader_;
}

void SendWorker::RunCheck() {
  const ModemStatus status = CheckModem(WatchReader());
  nextCheck_ = clock_.Now() + watchEvery_;
  if (link_->DeviceLost()) {
    LosePort();
    return;
  }
  if (!status.answered) {
    if (++silentChecks_ >= kSilentChecksUntilLost) LosePort();
    return;
  }
  silentChecks_ = 0;
  try {
    if (onModemStatus_) onModemStatus_(status);
  } catch (...) {
    // The window learns of the next check instead.
  }
}

void SendWorker::LosePort() {
  if (lost_) return;
  lost_ = true;
  silentChecks_ = 0;
  nextReopen_ = clock_.Now() + kReopenEvery;
  try {
    if (onPresence_) onPresence_(false);
  } catch (...) {
  }
}

void SendWorker::Reconnect() {
  const milliseconds now = clock_.Now();
  if (now < nextReopen_) {
    PauseUnlessStopped(nextReopen_ - now);
    return;
  }
  nextReopen_ = now + kReopenEvery;
  bool back = false;
  try {
    back = link_->Reopen();
  } catch (...) {
    back = false;
  }
  if (!back) return;
  lost_ = false;
  // What the old line left in the readers belongs to a modem that is gone.
  watchReader_.reset();
  if (reader_) reader_ = std::make_unique<ModemLineReader>(port_, *readerClock_);
  nextCheck_ = clock_.Now() + watchEvery_;
  try {
    if (onPresence_) onPresence_(true);
  } catch (...) {
  }
}

void SendWorker::PauseUnlessStopped(milliseconds d) {
  while (d > milliseconds(0) && !state_.stopRequested.load()) {
    const milliseconds slice = std::min(d, kPauseSlice);
    clock_.Sleep(slice);
    d -= slice;
  }
}

}  // namespace varnix
