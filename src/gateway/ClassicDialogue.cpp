// The classic dialogue: fixed pauses between the commands, the reply
// judged on everything read so far. It runs byte for byte and pause for
// pause as it always has; each part of a long message runs it whole.
#include <string>

#include "message/MessageOutcome.h"
#include "sms/PduEncoder.h"
#include "gateway/SendWorker.h"

namespace varnix {

using std::chrono::milliseconds;

namespace {
constexpr milliseconds kCommandPause{1000};
constexpr milliseconds kReadPause{1000};
constexpr char kCtrlZ = 26;

bool IsLineEnd(char c) { return c == '\r' || c == '\n'; }

// The line of the classic reply that holds "ERROR" ("+CMS ERROR: 500"),
// or "no answer" when none came.
std::string ClassicWhy(std::string_view collected) {
  const std::size_t at = collected.find("ERROR");
  if (at == std::string_view::npos) return "no answer";
  std::size_t begin = at;
  while (begin > 0 && !IsLineEnd(collected[begin - 1])) --begin;
  std::size_t end = at;
  while (end < collected.size() && !IsLineEnd(collected[end])) ++end;
  std::string_view line = collected.substr(begin, end - begin);
  while (!line.empty() && line.front() == ' ') line.remove_prefix(1);
  while (!line.empty() && line.back() == ' ') line.remove_suffix(1);
  return OutcomeDetail(line);
}

// <mr> of "+CMGS: <mr>" in the classic reply; -1 when it is not (yet) there.
int ClassicReference(std::string_view collected) {
  const std::size_t at = collected.find("+CMGS:");
  if (at == std::string_view::npos) return -1;
  std::size_t i = at + 6;
  while (i < collected.size() && collected[i] == ' ') ++i;
  int value = -1;
  for (; i < collected.size() && collected[i] >= '0' && collected[i] <= '9'; ++i) {
    value = (value < 0 ? 0 : value * 10) + (collected[i] - '0');
    if (value > 0xFFFF) return -1;
  }
  // Digits that run to the end of what was read may be cut short.
  return i < collected.size() ? value : -1;
}

}  // namespace

ReplyVerdict JudgeReply(std::string_view collected) {
  if (collected.find("+CMGS") != std::string_view::npos) return ReplyVerdict::kSent;
  // Covers "+CMS ERROR" and "+CME ERROR" as well as a plain "ERROR".
  if (collected.find("ERROR") != std::string_view::npos) return ReplyVerdict::kFailed;
  return ReplyVerdict::kPending;
}

void SendWorker::ReadWaiting(std::string& collected) {
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

void SendWorker::RunClassicDialogue(Attempts& attempts, MessageOutcome& outcome,
                                    const PartHooks* hooks) {
  // Every part runs the whole dialogue, pauses included, as a single
  // message always has; the first part that fails ends the message. A
  // retry goes on with the first part not yet sent.
  std::vector<SubmitPdu>& pdus = attempts.pdus;
  const QueuedMessage& message = attempts.message;
  for (std::size_t i = outcome.references.size(); i == 0 || i < pdus.size(); ++i) {
    const int part = static_cast<int>(i) + 1;
    outcome.failedPart = part;
    outcome.pduWentOut = false;

    SendText("at+cmgf=0\r");
    clock_.Sleep(kCommandPause);

    // The parts are cut only now: a message that cannot be cut (its text
    // lost at its acceptance) fails after this first command and pause.
    if (pdus.empty()) pdus = BuildParts(message);
    outcome.parts = static_cast<int>(pdus.size());
    const SubmitPdu& pdu = pdus[i];
    SendText("at+cmgs=" + std::to_string(pdu.cmgsLength) + "\r");
    clock_.Sleep(kCommandPause);

    if (hooks && hooks->beforePdu && !hooks->beforePdu(part)) {
      // The modem waits for a PDU that will not come.
      SendText("\x1b");
      clock_.Sleep(kCommandPause);
      FailPart(outcome, part, "outbox write failed");
      return;
    }
    outcome.pduWentOut = true;
    if (SendText(pdu.pdu + kCtrlZ) == 0) outcome.pduWentOut = false;
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
    if (verdict != ReplyVerdict::kSent) {
      clock_.Sleep(kCommandPause);
      FailPart(outcome, part, ClassicWhy(collected));
      return;
    }
    outcome.references.push_back(ClassicReference(collected));
    if (hooks && hooks->sent) hooks->sent(part, outcome.references.back());
  }
  outcome.sent = true;
  outcome.failedPart = 0;
}
}  // namespace varnix
