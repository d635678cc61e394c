// The parts sent with a request for a status report, and the reports that
// come back for them. A report names its part by the message reference the
// modem gave it and by the recipient's number; a message is delivered when
// every part is, undelivered at its first failed part.
#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "message/MessageResults.h"
#include "sms/PduDecoder.h"

namespace varnix {

// A report comes within this long of its part, or not at all.
constexpr std::chrono::milliseconds kReportWithin = std::chrono::hours(72);
// Parts waiting for their report; beyond it the oldest message goes first.
constexpr std::size_t kMaxTrackedParts = 20000;

// Whether two numbers name the same line. Only their digits count ("+",
// blanks and dashes do not), and leading zeros are dropped (the trunk
// prefix "0" and the international prefix "00"). Then they are equal, or
// the longer is the shorter with one to three digits (a country code) in
// front, and the shorter still has six digits or more: "+8613800138000"
// is "13800138000", "+49301234567" is "0301234567" and "0049301234567".
bool SameNumber(std::u16string_view a, std::u16string_view b);

enum class ReportVerdict {
  kUnmatched,    // no part sent within kReportWithin has this reference and recipient
  kStillTrying,  // matched; TP-ST 0x20-0x3F, or a part delivered while others wait
  kDelivered,    // the last part still waiting was delivered
  kUndelivered,  // TP-ST 0x40 or above
};

struct ReportMatch {
  ReportVerdict verdict = ReportVerdict::kUnmatched;
  // For kDelivered and kUndelivered: the message's change of state, with
  // the discharge time "yyyy-mm-dd hh:mm:ss" of the report that completed
  // it, or "TP-ST <hex>" (two upper-case digits) of the one that failed.
  StateChange change;
};

class DeliveryReports {
 public:
  // A message sent: its parts' references, in order (-1 for a part whose
  // answer named none: it never matches, so that message never ends
  // delivered), and the number it went to.
  void Sent(MessageId id, const std::vector<int>& references, std::string_view recipient,
            std::chrono::milliseconds now);
  // A report: matched to the newest part still waiting that has its
  // reference and recipient. A message ends with kDelivered or
  // kUndelivered and is no longer tracked: a later report for it is
  // unmatched.
  ReportMatch Take(const SmsStatusReport& report, std::chrono::milliseconds now);
  std::size_t TrackedParts() const { return parts_; }
  std::size_t TrackedMessages() const { return messages_.size(); }

 private:
  struct Part {
    int reference = -1;
    bool delivered = false;
  };
  struct Tracked {
    MessageId id = 0;
    std::u16string recipient;
    std::chrono::milliseconds sentAt{0};
    std::vector<Part> parts;
    std::size_t waiting = 0;  // parts not yet delivered
  };
  void Expire(std::chrono::milliseconds now);
  void Forget(std::deque<Tracked>::iterator it);

  std::deque<Tracked> messages_;  // oldest first
  std::size_t parts_ = 0;
};

}  // namespace varnix
