#include "modem/RetryPolicy.h"

#include <gtest/gtest.h>

#include "message/MessageOutcome.h"

namespace varnix {
namespace {

TEST(RetryPolicy, OnlyAttemptsThatCannotHaveDeliveredAreTriedAgain) {
  struct Case {
    const char* why;
    bool pduWentOut;
    bool temporary;
    bool safe;
  } cases[] = {
      // The modem says it will pass: safe even though the PDU went out.
      {"+CMS ERROR: 331", true, true, true},
      {"+CMS ERROR: 332", true, true, true},
      {"+CMS ERROR:512", true, true, true},
      {"+CMS ERROR: 515", true, true, true},
      {"+CME ERROR: 14", true, true, true},
      {"+CME ERROR: 515", true, true, true},
      {"part 2: +CMS ERROR: 332", true, true, true},
      // Not temporary, or not that code.
      {"+CMS ERROR: 500", true, false, false},
      {"+CMS ERROR: 3320", true, false, false},
      {"+CMS ERROR: 332x", true, false, false},
      {"+CMS ERROR: 33", true, false, false},
      {"+CME ERROR: 10", true, false, false},
      {"+CME ERROR: 332", true, false, false},
      {"ERROR", true, false, false},
      {"no answer", true, false, false},
      // Nothing reached the modem.
      {"no prompt", false, false, true},
      {"part 3: no prompt", false, false, true},
      {"ERROR", false, false, true},
      {"no answer", false, false, true},
      // Would only fail again.
      {"refused number", false, false, false},
      {"internal error", false, false, false},
      {"part 2: internal error", false, false, false},
  };
  for (const Case& c : cases) {
    MessageOutcome outcome;
    outcome.why = c.why;
    outcome.pduWentOut = c.pduWentOut;
    EXPECT_EQ(IsTemporaryModemError(c.why), c.temporary) << c.why;
    EXPECT_EQ(IsSafeToRetry(outcome), c.safe) << c.why << " out=" << c.pduWentOut;
  }
  MessageOutcome sent;
  sent.sent = true;
  EXPECT_FALSE(IsSafeToRetry(sent));
}

TEST(RetryPolicy, WaitsAreTenSixtyThenSixHundredSeconds) {
  const long expected[] = {10, 10, 60, 600, 600, 600};
  for (int retry = 0; retry <= 5; ++retry)
    EXPECT_EQ(RetryWait(retry).count(), expected[retry]) << retry;
}

}  // namespace
}  // namespace varnix
