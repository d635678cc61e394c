// Raw DDE messages, as Excel or VBA's DDEExecute send them, without DDEML.
#pragma once

#include <string>
#include <vector>

namespace ddeclient {

// Runs a raw-* command (its words, w[0] the command); false if w[0] is not
// one of them.
bool RunRawCommand(const std::vector<std::string>& w);

// Ends the raw conversation, if any, without waiting for the answer.
void EndRawConversation();

}  // namespace ddeclient
