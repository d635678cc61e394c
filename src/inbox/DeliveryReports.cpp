#include "inbox/DeliveryReports.h"

#include <cstdio>

namespace varnix {
namespace {

constexpr std::size_t kMinSignificantDigits = 6;
constexpr std::size_t kMaxCountryCodeDigits = 3;
constexpr std::uint8_t kFirstStillTrying = 0x20;
constexpr std::uint8_t kFirstFailed = 0x40;

std::string SignificantDigits(std::u16string_view number) {
  std::string digits;
  for (char16_t c : number) {
    if (c < u'0' || c > u'9') continue;
    if (digits.empty() && c == u'0') continue;  // trunk or international prefix
    digits.push_back(static_cast<char>(c));
  }
  return digits;
}

}  // namespace

bool SameNumber(std::u16string_view a, std::u16string_view b) {
  std::string x = SignificantDigits(a);
  std::string y = SignificantDigits(b);
  if (x.size() < y.size()) std::swap(x, y);
  if (y.empty()) return false;
  if (x == y) return true;
  return y.size() >= kMinSignificantDigits && x.size() - y.size() <= kMaxCountryCodeDigits &&
         x.compare(x.size() - y.size(), y.size(), y) == 0;
}

void DeliveryReports::Sent(MessageId id, const std::vector<int>& references,
                           std::string_view recipient, std::chrono::milliseconds now) {
  Expire(now);
  if (references.empty()) return;
  Tracked tracked;
  tracked.id = id;
  tracked.recipient.assign(recipient.begin(), recipient.end());  // "+" and digits only
  tracked.sentAt = now;
  for (int reference : references) tracked.parts.push_back({reference, false});
  tracked.waiting = tracked.parts.size();
  parts_ += tracked.parts.size();
  messages_.push_back(std::move(tracked));
  while (parts_ > kMaxTrackedParts && !messages_.empty()) Forget(messages_.begin());
}

ReportMatch DeliveryReports::Take(const SmsStatusReport& report, std::chrono::milliseconds now) {
  Expire(now);
  ReportMatch match;
  for (auto it = messages_.rbegin(); it != messages_.rend(); ++it) {
    Tracked& tracked = *it;
    Part* part = nullptr;
    for (Part& p : tracked.parts) {
      if (!p.delivered && p.reference >= 0 && p.reference == report.messageReference) {
        part = &p;
        break;
      }
    }
    if (!part || !SameNumber(tracked.recipient, report.recipient)) continue;

    match.change.id = tracked.id;
    if (report.status >= kFirstFailed) {
      char detail[16];
      std::snprintf(detail, sizeof detail, "TP-ST %02X", static_cast<unsigned>(report.status));
      match.verdict = ReportVerdict::kUndelivered;
      match.change.state = MessageState::kUndelivered;
      match.change.detail = detail;
      Forget(std::prev(it.base()));
      return match;
    }
    match.verdict = ReportVerdict::kStillTrying;
    if (report.status >= kFirstStillTrying) return match;
    part->delivered = true;
    if (--tracked.waiting > 0) return match;
    match.verdict = ReportVerdict::kDelivered;
    match.change.state = MessageState::kDelivered;
    match.change.detail = FormatSmsTime(report.dischargeTime, false);
    Forget(std::prev(it.base()));
    return match;
  }
  return match;
}

void DeliveryReports::Expire(std::chrono::milliseconds now) {
  // Kept in the order they were sent, so the expired ones are in front.
  while (!messages_.empty() && now - messages_.front().sentAt > kReportWithin)
    Forget(messages_.begin());
}

void DeliveryReports::Forget(std::deque<Tracked>::iterator it) {
  parts_ -= it->parts.size();
  messages_.erase(it);
}

}  // namespace varnix
