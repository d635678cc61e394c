#include "modem/PromptDialogue.h"

#include <string>

namespace varnix {

namespace {

constexpr char kCtrlZ = 0x1A;
constexpr char kEsc[] = "\x1b";

std::string WhyOf(const ModemAnswer& answer) {
  switch (answer.result) {
    case ModemResult::kTimeout:
      return "no answer";
    case ModemResult::kOk:
      // "OK" without "+CMGS: <mr>": the modem names no message, so there is
      // nothing to say it was sent.
      return "no message reference";
    case ModemResult::kPrompt:
      return "unexpected prompt";
    default:
      return OutcomeDetail(answer.finalLine);
  }
}

}  // namespace

std::string OutcomeDetail(std::string_view line) {
  std::string out(line);
  for (char& c : out) {
    if (c == '\t' || c == '\r' || c == '\n') c = ' ';
  }
  return out;
}

void FailPart(MessageOutcome& outcome, int part, std::string_view why) {
  outcome.sent = false;
  outcome.failedPart = part;
  outcome.why.clear();
  if (outcome.parts > 1) outcome.why = "part " + std::to_string(part) + ": ";
  outcome.why += why;
}

void RunPromptDialogue(ModemLineReader& reader, const std::vector<SubmitPdu>& parts,
                       MessageOutcome& outcome, const PartHooks* hooks) {
  outcome.parts = static_cast<int>(parts.size());
  // The reader's Send takes in whatever waits on the line before it writes,
  // and the port purges its input only before the write: so the purge can
  // only ever cost stale bytes, never a part of the answer to this command.
  reader.Send("at+cmgf=0\r");
  const ModemAnswer mode = reader.WaitFinalResult(kModeCommandTimeout);
  if (mode.result != ModemResult::kOk) {
    // A modem left waiting for a PDU (the program that began it died, or
    // its line dropped mid-PDU) takes every command as text and answers
    // none: ESC ends that wait, and the next attempt finds it listening.
    if (mode.result == ModemResult::kTimeout) reader.Send(kEsc);
    outcome.sent = false;
    outcome.failedPart = 0;
    outcome.why = mode.result == ModemResult::kTimeout ? "no answer" : OutcomeDetail(mode.finalLine);
    return;
  }

  // A retry goes on with the first part not yet sent.
  for (std::size_t i = outcome.references.size(); i < parts.size(); ++i) {
    const int part = static_cast<int>(i) + 1;
    outcome.failedPart = part;
    outcome.pduWentOut = false;
    reader.Send("at+cmgs=" + std::to_string(parts[i].cmgsLength) + "\r");
    const ModemAnswer prompt = reader.WaitPromptOrResult(kPromptTimeout);
    if (prompt.result == ModemResult::kTimeout) {
      // A modem that is still waiting for the PDU would take the next
      // command as its text: ESC ends its wait without sending anything.
      reader.Send(kEsc);
      FailPart(outcome, part, "no prompt");
      return;
    }
    if (prompt.result != ModemResult::kPrompt) {
      FailPart(outcome, part, prompt.result == ModemResult::kOk ? "no prompt" : WhyOf(prompt));
      return;
    }

    if (hooks && hooks->beforePdu && !hooks->beforePdu(part)) {
      // The modem waits for a PDU that will not come.
      reader.Send(kEsc);
      FailPart(outcome, part, "outbox write failed");
      return;
    }
    // From the first byte of the PDU on, the modem may send it whatever we
    // hear afterwards.
    outcome.pduWentOut = true;
    if (reader.Send(parts[i].pdu + kCtrlZ) == 0) {
      outcome.pduWentOut = false;
      reader.Send(kEsc);
      FailPart(outcome, part, "write failed");
      return;
    }
    const ModemAnswer result = reader.WaitFinalResult(kFinalResultTimeout);
    if (!result.Sent()) {
      FailPart(outcome, part, WhyOf(result));
      return;
    }
    outcome.references.push_back(result.messageReference);
    if (hooks && hooks->sent) hooks->sent(part, result.messageReference);
  }
  outcome.sent = true;
  outcome.failedPart = 0;
  outcome.why.clear();
}

}  // namespace varnix
