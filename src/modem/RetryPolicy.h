// Which failed attempts may be tried again, and when. Only an attempt that
// cannot have delivered the message counts: no byte of its PDU reached the
// modem, or the modem said the failure was temporary. Anything else might
// reach the phone twice.
#pragma once

#include <chrono>
#include <string_view>

namespace varnix {

struct MessageOutcome;

// A modem error that names a passing condition: "+CMS ERROR:" 331 (no
// network service), 332 (network timeout), 512 and 515 (busy / not ready),
// "+CME ERROR:" 14 (SIM busy) and 515 (please wait). `why` may carry the
// "part <n>: " prefix of a message in parts.
bool IsTemporaryModemError(std::string_view why);

// Whether sending the failed part again cannot duplicate it. A number the
// worker refused, or an error of the program itself, would only fail again.
bool IsSafeToRetry(const MessageOutcome& outcome);

// The wait before attempt `retry` (1 for the first retry): 10 s, 60 s, then
// 600 s for each later one.
std::chrono::seconds RetryWait(int retry);

}  // namespace varnix
