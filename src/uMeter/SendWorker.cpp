#include "uMeter/SendWorker.h"

#include <string>

#include "uMeter/PduEncoder.h"

namespace varnix {

using std::chrono::milliseconds;

namespace {
constexpr milliseconds kCommandPause{1000};
constexpr milliseconds kReadPause{1000};
constexpr char kCtrlZ = 26;
}  // namespace

void SystemWorkerClock::Sleep(milliseconds d) { std::this_thread::sleep_for(d); }

void SystemWorkerClock::WaitIdle(const SendQueue& queue, milliseconds d) {
  queue.WaitForEntry(d);
}

ReplyVerdict JudgeReply(std::string_view collected) {
  if (collected.find("+CMGS") != std::string_view::npos) return ReplyVerdict::kSent;
  // Covers "+CMS ERROR" and "+CME ERROR" as well as a plain "ERROR".
  if (collected.find("ERROR") != std::string_view::npos) return ReplyVerdict::kFailed;
  return ReplyVerdict::kPending;
}

TGetDataThread::TGetDataThread(GatewayState& state, ModemPort& port, WorkerClock& clock,
                               const AnsiCodec& codec, const std::atomic<std::int32_t>& delayMs,
                               PostSendDone postSendDone)
    : state_(state),
      port_(port),
      clock_(clock),
      codec_(codec),
      delayMs_(delayMs),
      postSendDone_(std::move(postSendDone)) {}

TGetDataThread::~TGetDataThread() { Join(); }

void TGetDataThread::Start() {
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

void TGetDataThread::Join() {
  if (thread_.joinable()) thread_.join();
}

milliseconds TGetDataThread::Delay() const {
  // A negative Delay from the registry must not become an endless pause.
  const std::int32_t d = delayMs_.load();
  return milliseconds(d < 0 ? 0 : d);
}

void TGetDataThread::Execute() {
  for (;;) {
    if (state_.stopRequested.load() || state_.portHandle == kNoPort) return;
    std::optional<std::string> entry = state_.sendQueue.TakeFirst();
    if (!entry) {
      clock_.WaitIdle(state_.sendQueue, Delay());
      continue;
    }
    ProcessEntry(*entry);
  }
}

void TGetDataThread::SendText(std::string_view text) {
  port_.Send(text.data(), static_cast<int>(text.size()));
}

void TGetDataThread::ReadWaiting(std::string& collected) {
  // Everything already waiting, ten bytes at a time, so that a complete
  // reply is judged whole at once. Bounded, so that a modem flooding the
  // line cannot keep the worker here.
  for (int taken = 0; taken < kMaxBytesPerRead;) {
    char buffer[kReceiveChunk] = {};
    int n = port_.Receive(buffer, kReceiveChunk);
    if (n <= 0) return;
    // A port that claims more than it was asked for has still filled at most
    // the buffer: anything past it is not ours to read, and the count must
    // not eat into the bound above faster than bytes really arrive.
    if (n > kReceiveChunk) n = kReceiveChunk;
    collected.append(buffer, static_cast<std::size_t>(n));
    taken += n;
    if (n < kReceiveChunk) return;
  }
}

void TGetDataThread::ProcessEntry(const std::string& entry) {
  ReplyVerdict verdict = ReplyVerdict::kFailed;
  try {
    verdict = RunDialogue(entry);
  } catch (...) {
    // Whatever went wrong with this one message (memory, the codec, the
    // port) ends only this message: it is reported as not sent, in its place
    // among the outcomes, and the next entry goes out as usual. A worker
    // that ended here would leave every later message acknowledged to its
    // client but never sent.
    verdict = ReplyVerdict::kFailed;
  }
  Report(verdict);
}

void TGetDataThread::Report(ReplyVerdict verdict) {
  try {
    state_.statusText.Set(verdict == ReplyVerdict::kSent ? "1" : "0");
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

ReplyVerdict TGetDataThread::RunDialogue(const std::string& entry) {
  const SplitEntry split = SplitQueueEntry(entry);

  // A number with anything but digits after an optional "+" could carry
  // control characters (Ctrl-Z, ESC) into the modem: it is never sent. The
  // send rule queues an empty number for a Num that held a comma, so that
  // case is refused here too, in queue order.
  if (!IsSendableNumber(split.number)) return ReplyVerdict::kFailed;

  SendText("at+cmgf=0\r");
  clock_.Sleep(kCommandPause);

  const SubmitPdu pdu = BuildSubmitPdu(split.number, split.text, codec_);
  SendText("at+cmgs=" + std::to_string(pdu.cmgsLength) + "\r");
  clock_.Sleep(kCommandPause);

  SendText(pdu.pdu + kCtrlZ);
  clock_.Sleep(Delay());

  // The reply is judged on everything collected so far, so a reply that
  // arrives in pieces still counts once its "+CMGS" is in.
  std::string collected;
  ReplyVerdict verdict = ReplyVerdict::kPending;
  for (int reads = 0;;) {
    ReadWaiting(collected);
    verdict = JudgeReply(collected);
    if (verdict != ReplyVerdict::kPending) break;
    clock_.Sleep(kReadPause);
    if (++reads >= kMaxReads) break;
  }
  if (verdict != ReplyVerdict::kSent) clock_.Sleep(kCommandPause);
  return verdict == ReplyVerdict::kSent ? ReplyVerdict::kSent : ReplyVerdict::kFailed;
}

}  // namespace varnix
