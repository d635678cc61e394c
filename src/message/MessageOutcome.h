// What became of one message: sent with a reference per part, or why not,
// and whether the modem may have had the failing part's PDU. The worker
// fills it as the dialogue goes, so an error in the middle still leaves
// what was known by then.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace varnix {

struct MessageOutcome {
  bool sent = false;
  // The modem's message reference of each part sent, in order; -1 where its
  // answer named none.
  std::vector<int> references;
  // Empty when sent. Otherwise the modem's error line as received
  // ("+CMS ERROR: 500", "ERROR") or "no prompt", "no answer",
  // "refused number", ...; "part <n>: " in front for a message of several
  // parts. Never holds a TAB, CR or LF.
  std::string why;
  int parts = 0;       // the parts the text was cut into; 0 before the cut
  int failedPart = 0;  // 1 for the first; 0 when sent or failed before any part
  // Some of the failing part's PDU may have reached the modem: sending it
  // again could deliver it twice.
  bool pduWentOut = false;
};

// Told as each part goes: before its PDU's first byte goes to the modem
// (false: it must not go, and the message fails), and once it was sent.
// The outbox journals both, so that a restart never sends a part twice.
struct PartHooks {
  std::function<bool(int part)> beforePdu;
  std::function<void(int part, int reference)> sent;
};

// A modem line as a detail: blanks for TAB, CR and LF, nothing else changed.
std::string OutcomeDetail(std::string_view line);

// Ends the message as failed in `part` (1-based), with the part named when
// the message has several.
void FailPart(MessageOutcome& outcome, int part, std::string_view why);

}  // namespace varnix
