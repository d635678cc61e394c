// Status reports matched to the parts sent: by reference and recipient,
// within 3 days; delivered when every part is, undelivered at the first
// failure, still trying changes nothing.
#include "inbox/DeliveryReports.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace varnix {
namespace {

using std::chrono::hours;
using std::chrono::milliseconds;

SmsStatusReport ReportOf(int mr, std::u16string recipient, std::uint8_t status, int second = 0) {
  SmsStatusReport r;
  r.messageReference = mr;
  r.recipient = std::move(recipient);
  r.status = status;
  r.serviceCentreTime = {2026, 12, 8, 12, 30, 0, 32};
  r.dischargeTime = {2026, 12, 8, 12, 31, second, 32};
  return r;
}

TEST(DeliveryReports, NumbersMatchByTheirDigitsNationalOrInternational) {
  struct Case {
    std::u16string a, b;
    bool same;
  };
  const Case cases[] = {
      {u"+8613800138000", u"+8613800138000", true},
      {u"+8613800138000", u"13800138000", true},       // national form
      {u"13800138000", u"008613800138000", true},      // international prefix
      {u"+49301234567", u"0301234567", true},          // trunk prefix
      {u"+49 30 123-4567", u"0049301234567", true},    // blanks and dashes
      {u"10086", u"10086", true},                      // a short code, whole
      {u"+49123456", u"123456", true},                 // six digits are enough
      {u"+85212345678", u"12345678", true},            // three in front are a country code
      {u"+8613800138000", u"13800138001", false},      // another line
      {u"+8613800138000", u"38000", false},            // too few digits to tell
      {u"+8613800138000", u"800138000", false},        // four digits in front: no country code
      {u"10086", u"110086", false},                    // a short code is not a suffix
      {u"", u"", false},
      {u"+", u"0", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(SameNumber(c.a, c.b), c.same) << std::string(c.a.begin(), c.a.end()) << " / "
                                            << std::string(c.b.begin(), c.b.end());
    EXPECT_EQ(SameNumber(c.b, c.a), c.same);
  }
}

TEST(DeliveryReports, AMessageIsDeliveredOnlyWhenEveryPartIs) {
  DeliveryReports reports;
  reports.Sent(4, {17, 18}, "+8613800138000", milliseconds(0));
  EXPECT_EQ(reports.TrackedParts(), 2u);
  // Still trying changes nothing; a report for another number or
  // reference is not this message's.
  EXPECT_EQ(reports.Take(ReportOf(18, u"13800138000", 0x21), hours(1)).verdict,
            ReportVerdict::kStillTrying);
  EXPECT_EQ(reports.Take(ReportOf(18, u"13900139000", 0x00), hours(1)).verdict,
            ReportVerdict::kUnmatched);
  EXPECT_EQ(reports.Take(ReportOf(19, u"13800138000", 0x00), hours(1)).verdict,
            ReportVerdict::kUnmatched);
  // Part 2 first, then part 1: delivered with the time of the report that
  // completed it.
  EXPECT_EQ(reports.Take(ReportOf(18, u"13800138000", 0x00, 5), hours(2)).verdict,
            ReportVerdict::kStillTrying);
  // The same part reported again matches nothing waiting.
  EXPECT_EQ(reports.Take(ReportOf(18, u"13800138000", 0x00, 5), hours(2)).verdict,
            ReportVerdict::kUnmatched);
  const ReportMatch done = reports.Take(ReportOf(17, u"+8613800138000", 0x01, 9), hours(3));
  EXPECT_EQ(done.verdict, ReportVerdict::kDelivered);
  EXPECT_EQ(done.change.id, 4u);
  EXPECT_EQ(done.change.state, MessageState::kDelivered);
  EXPECT_EQ(done.change.detail, "2026-12-08 12:31:09");
  EXPECT_EQ(reports.TrackedParts(), 0u);
  EXPECT_EQ(reports.Take(ReportOf(17, u"+8613800138000", 0x00), hours(3)).verdict,
            ReportVerdict::kUnmatched);
  // 0x20 is the first "still trying", even for a message's only part.
  reports.Sent(5, {3}, "10086", hours(3));
  EXPECT_EQ(reports.Take(ReportOf(3, u"10086", 0x20), hours(3)).verdict, ReportVerdict::kStillTrying);
}

TEST(DeliveryReports, TheFirstFailedPartMakesItUndelivered) {
  struct Case {
    std::uint8_t status;
    std::string detail;
  };
  for (const Case& c : {Case{0x40, "TP-ST 40"}, Case{0x41, "TP-ST 41"}, Case{0x46, "TP-ST 46"},
                        Case{0x6A, "TP-ST 6A"}, Case{0xFF, "TP-ST FF"}}) {
    DeliveryReports reports;
    reports.Sent(9, {1, 2, 3}, "13800138000", milliseconds(0));
    EXPECT_EQ(reports.Take(ReportOf(1, u"+8613800138000", 0x00), hours(1)).verdict,
              ReportVerdict::kStillTrying);
    const ReportMatch failed = reports.Take(ReportOf(2, u"+8613800138000", c.status), hours(1));
    EXPECT_EQ(failed.verdict, ReportVerdict::kUndelivered);
    EXPECT_EQ(failed.change.id, 9u);
    EXPECT_EQ(failed.change.state, MessageState::kUndelivered);
    EXPECT_EQ(failed.change.detail, c.detail);
    // Over: the third part's report has nothing left to change.
    EXPECT_EQ(reports.Take(ReportOf(3, u"+8613800138000", 0x00), hours(1)).verdict,
              ReportVerdict::kUnmatched);
    EXPECT_EQ(reports.TrackedMessages(), 0u);
  }
}

TEST(DeliveryReports, ReportsMatchWithinThreeDaysAndTheNewestWaitingPartFirst) {
  DeliveryReports reports;
  reports.Sent(1, {7}, "+8613800138000", milliseconds(0));
  reports.Sent(2, {7}, "+8613800138000", hours(1));  // the reference came round again
  reports.Sent(3, {-1}, "+8613800138000", hours(1));  // no reference named: never matched
  ReportMatch m = reports.Take(ReportOf(7, u"13800138000", 0x00), hours(2));
  EXPECT_EQ(m.change.id, 2u);
  m = reports.Take(ReportOf(7, u"13800138000", 0x00), hours(3));
  EXPECT_EQ(m.change.id, 1u);
  EXPECT_EQ(reports.Take(ReportOf(-1, u"13800138000", 0x00), hours(3)).verdict,
            ReportVerdict::kUnmatched);

  // Three days to the millisecond still count; a moment later it is gone.
  DeliveryReports late;
  late.Sent(5, {8}, "13800138000", milliseconds(1000));
  late.Sent(6, {9}, "13800138000", milliseconds(1000));
  EXPECT_EQ(late.Take(ReportOf(8, u"13800138000", 0x00), milliseconds(1000) + kReportWithin)
                .verdict,
            ReportVerdict::kDelivered);
  EXPECT_EQ(late.Take(ReportOf(9, u"13800138000", 0x00),
                      milliseconds(1001) + kReportWithin)
                .verdict,
            ReportVerdict::kUnmatched);
  EXPECT_EQ(late.TrackedParts(), 0u);
}

TEST(DeliveryReports, TheTrackerIsBoundedOldestFirst) {
  DeliveryReports reports;
  // Messages of 4 parts, one more than fits.
  const std::size_t messages = kMaxTrackedParts / 4 + 1;
  for (std::size_t i = 0; i < messages; ++i) {
    const int r = static_cast<int>(i % 64) * 4;
    reports.Sent(i + 1, {r, r + 1, r + 2, r + 3}, "+86138" + std::to_string(10000000 + i),
                 milliseconds(static_cast<long>(i)));
  }
  EXPECT_LE(reports.TrackedParts(), kMaxTrackedParts);
  EXPECT_EQ(reports.TrackedMessages(), messages - 1);
  // The first message went; the second is still there.
  EXPECT_EQ(reports.Take(ReportOf(0, u"+8613810000000", 0x46), hours(1)).verdict,
            ReportVerdict::kUnmatched);
  EXPECT_EQ(reports.Take(ReportOf(4, u"+8613810000001", 0x46), hours(1)).change.id, 2u);
}

}  // namespace
}  // namespace varnix
