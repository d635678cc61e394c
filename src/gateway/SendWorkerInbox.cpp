// The send worker's look into the modem's store while idle: incoming
// messages joined and handed to the inbox, delivery reports matched to the
// parts they report on. Both are deleted from the modem only once they were
// dealt with; a turn never runs in the middle of a send, and gives way to a
// message queued meanwhile, unless sending has kept it waiting a whole
// interval past its time: then it runs between two messages, to its end.
#include <algorithm>
#include <string_view>

#include "settings/ExtSettings.h"
#include "inbox/Inbox.h"
#include "modem/MessageListing.h"
#include "modem/ModemLineReader.h"
#include "sms/PduDecoder.h"
#include "sms/PduEncoder.h"
#include "gateway/SendWorker.h"

namespace varnix {

using std::chrono::milliseconds;

namespace {

// With Receive 0 and Report 1 the store is still read, for the reports.
constexpr milliseconds kReportsOnlyEvery{30000};
constexpr char kPduMode[] = "at+cmgf=0\r";

bool StartsWith(std::string_view s, std::string_view prefix) {
  return s.substr(0, prefix.size()) == prefix;
}

}  // namespace

void SendWorker::TakeInboxSettings(const ExtSettings& settings) {
  const std::int32_t receive = settings.Receive.load();
  receive_ = receive > 0;
  reports_ = settings.Report.load() == 1;
  listEvery_ = receive_ ? milliseconds(std::clamp<std::int32_t>(receive, 5, 3600) * 1000)
               : reports_ ? kReportsOnlyEvery
                          : milliseconds(0);
}

bool SendWorker::ListingDue() {
  // "+CMTI" (a message stored) and "+CDSI" (a report stored) set aside by
  // the reader during a send bring the next turn forward to the first idle
  // moment after it.
  ModemLineReader* reader = reader_ ? reader_.get() : watchReader_.get();
  if (reader) {
    for (const UnsolicitedCode& code : reader->TakeUnsolicited()) {
      if ((receive_ && StartsWith(code.line, "+CMTI:")) ||
          (reports_ && StartsWith(code.line, "+CDSI:")))
        nextListing_ = std::min(nextListing_, clock_.Now());
    }
  }
  return clock_.Now() >= nextListing_;
}

bool SendWorker::ListingStarved() const {
  return clock_.Now() >= nextListing_ + listEvery_;
}

void SendWorker::RunListing(bool holdOn) {
  ModemLineReader& reader = WatchReader();
  bool finished = true;
  listingHoldsOn_ = holdOn;
  try {
    finished = ListAndHandle(reader);
  } catch (...) {
    // Whatever stays in the modem is met again at the next turn.
  }
  listingHoldsOn_ = false;
  // A turn cut short for a queued message goes on right after it.
  nextListing_ = finished ? clock_.Now() + listEvery_ : clock_.Now();
  if (Watching() && link_->DeviceLost()) LosePort();
}

// A stop, or a message that could go out: the turn gives way.
bool SendWorker::Interrupted() {
  if (state_.stopRequested.load()) return true;
  if (listingHoldsOn_) return false;
  return state_.sendQueue.Count() > 0 || !held_.empty() ||
         (!retries_.empty() && retries_.begin()->first <= clock_.Now());
}

bool SendWorker::ListAndHandle(ModemLineReader& reader) {
  MessageListing listing = ListStoredMessages(reader);
  if (listing.result == ModemResult::kError || listing.result == ModemResult::kCmsError) {
    // A modem left in text mode refuses the PDU-mode listing: once more in
    // PDU mode. Nothing of this goes out while the listing is answered.
    reader.Send(kPduMode);
    if (reader.WaitFinalResult(kDeleteTimeout).result != ModemResult::kOk) return true;
    listing = ListStoredMessages(reader);
  }
  if (!listing.complete) return true;

  // What was handed on but not deleted stays known while it is listed.
  std::map<int, std::string> pdus;
  for (const ListedPdu& entry : listing.entries) pdus.emplace(entry.index, entry.pdu);
  std::erase_if(handedOn_, [&](const auto& kv) {
    const auto it = pdus.find(kv.first);
    return it == pdus.end() || it->second != kv.second;
  });

  std::vector<ListedDeliver> delivers;
  for (const ListedPdu& entry : listing.entries) {
    // Stored outgoing messages are someone else's; an entry whose PDU line
    // was lost is met again at the next turn.
    if (!entry.Received() || entry.pdu.empty()) continue;
    if (Interrupted()) return false;
    if (handedOn_.count(entry.index)) {
      if (DeleteStoredMessage(reader, entry.index)) handedOn_.erase(entry.index);
      continue;
    }
    const DecodedPdu decoded = DecodeListedPdu(entry.pdu);
    if (const SmsStatusReport* report = decoded.Report()) {
      if (reports_) HandleReport(reader, entry.index, *report);
    } else if (const SmsDeliver* deliver = decoded.Deliver()) {
      if (receive_) delivers.push_back({entry.index, *deliver});
    } else if (receive_) {
      // It can never be shown; left in the modem it would come back at
      // every turn and fill the store.
      DeleteStoredMessage(reader, entry.index);
    }
  }
  if (!receive_) return true;
  return HandOn(reader, delivers, pdus);
}

bool SendWorker::HandOn(ModemLineReader& reader, const std::vector<ListedDeliver>& delivers,
                            const std::map<int, std::string>& pdus) {
  for (const JoinedMessage& joined : join_.Join(delivers, clock_.Now())) {
    if (Interrupted()) return false;
    // Without a sink, or with one that cannot take it now, the message
    // stays in the modem and comes again at the next turn. A sink that
    // refuses one would refuse the rest as well: they wait too.
    if (!inboxSink_) return true;
    bool taken = false;
    try {
      taken = inboxSink_->Deliver(joined.message);
    } catch (...) {
      taken = false;
    }
    if (!taken) return true;
    join_.Delivered(joined);
    // From here on it must not be handed on again, whatever the modem says
    // to its deletion.
    for (int index : joined.indices) {
      if (!DeleteStoredMessage(reader, index)) handedOn_[index] = pdus.at(index);
    }
  }
  return true;
}

void SendWorker::HandleReport(ModemLineReader& reader, int index,
                                  const SmsStatusReport& report) {
  const ReportMatch match = tracker_.Take(report, clock_.Now());
  if (match.verdict == ReportVerdict::kDelivered || match.verdict == ReportVerdict::kUndelivered) {
    state_.results.Push(match.change);
    try {
      if (onResults_) onResults_();
    } catch (...) {
    }
  }
  // A report that matches no part waiting for one never will: it belongs
  // to a message sent before this start, or more than 3 days ago, or by
  // another program. Deleted like a matched one, so that reports do not
  // fill the store.
  DeleteStoredMessage(reader, index);
}

void SendWorker::TrackSent(const Attempts& attempts, const MessageOutcome& outcome) {
  if (!reports_ || !outcome.sent || attempts.message.id == 0) return;
  try {
    tracker_.Sent(attempts.message.id, outcome.references,
                  attempts.message.number, clock_.Now());
  } catch (...) {
    // Its reports then go unmatched; the message itself was sent.
  }
}

}  // namespace varnix
