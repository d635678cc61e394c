// The prompt-driven dialogue: each step waits for the modem's own answer
// and goes on the moment it is complete, instead of the classic fixed
// pauses.
#pragma once

#include <chrono>
#include <vector>

#include "message/MessageOutcome.h"
#include "modem/ModemLineReader.h"
#include "sms/PduEncoder.h"

namespace varnix {

constexpr std::chrono::milliseconds kModeCommandTimeout{5000};  // "OK" after at+cmgf=0

// "at+cmgf=0", then per part "at+cmgs=<length>", the prompt, the PDU and
// Ctrl-Z, the final result. The first part that fails ends the message.
// Fills `outcome` as it goes; the parts whose references it already holds
// were sent by an earlier attempt and are skipped.
void RunPromptDialogue(ModemLineReader& reader, const std::vector<SubmitPdu>& parts,
                       MessageOutcome& outcome, const PartHooks* hooks = nullptr);

}  // namespace varnix
