#include "modem/RetryPolicy.h"

#include "message/MessageOutcome.h"

namespace varnix {
namespace {

// The error code after `prefix`, or -1 when `why` does not hold it.
int CodeAfter(std::string_view why, std::string_view prefix) {
  const std::size_t at = why.find(prefix);
  if (at == std::string_view::npos) return -1;
  std::size_t i = at + prefix.size();
  while (i < why.size() && why[i] == ' ') ++i;
  int code = -1;
  for (; i < why.size() && why[i] >= '0' && why[i] <= '9'; ++i) {
    code = (code < 0 ? 0 : code * 10) + (why[i] - '0');
    if (code > 99999) return -1;
  }
  // "+CMS ERROR: 3320" is not 332.
  return i == why.size() || why[i] == ' ' ? code : -1;
}

}  // namespace

bool IsTemporaryModemError(std::string_view why) {
  switch (CodeAfter(why, "+CMS ERROR:")) {
    case 331: case 332: case 512: case 515: return true;
    default: break;
  }
  switch (CodeAfter(why, "+CME ERROR:")) {
    case 14: case 515: return true;
    default: return false;
  }
}

bool IsSafeToRetry(const MessageOutcome& outcome) {
  if (outcome.sent) return false;
  if (IsTemporaryModemError(outcome.why)) return true;
  if (outcome.pduWentOut) return false;
  // Refused before a byte went out, and would be refused again.
  const std::string_view why = outcome.why;
  const bool permanent = why.ends_with("refused number") || why.ends_with("internal error");
  return !permanent;
}

std::chrono::seconds RetryWait(int retry) {
  if (retry <= 1) return std::chrono::seconds(10);
  if (retry == 2) return std::chrono::seconds(60);
  return std::chrono::seconds(600);
}

}  // namespace varnix
