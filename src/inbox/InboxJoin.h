// Concatenated incoming parts joined into whole messages. The modem is the
// store: every part stays in it until its whole message was handed on, so
// each listing shows all parts again and the join is made afresh from each
// listing. The only thing kept between listings is when each incomplete
// message was first seen, for the wait of 10 minutes after which it goes
// out with what arrived.
#pragma once

#include <chrono>
#include <compare>
#include <cstddef>
#include <map>
#include <string>
#include <vector>

#include "inbox/Inbox.h"
#include "sms/PduDecoder.h"

namespace varnix {

constexpr std::chrono::milliseconds kPartialAfter = std::chrono::minutes(10);
// Stands for each part still missing after the wait.
inline constexpr char16_t kMissingPart[] = u"[\u2026]";

// One SMS-DELIVER of a listing, with its place in the modem's store.
struct ListedDeliver {
  int index = -1;
  SmsDeliver sms;
};

struct JoinedMessage {
  ReceivedMessage message;
  // Every stored PDU it was made of, a part the network brought twice
  // included: all of them go once the message was handed on.
  std::vector<int> indices;
  // What names its group: reference and count of the concatenation header
  // (0 and 1 for a message in one piece).
  unsigned reference = 0;
  int total = 1;
};

class InboxJoin {
 public:
  // The messages of one whole listing ready to be handed on, in the order
  // of their first part in the listing: every message in one piece, every
  // group whose parts are all there, and every group first seen
  // kPartialAfter or longer ago. Parts belong together when sender,
  // reference and count agree; a header whose sequence number lies outside
  // 1..count counts as a message in one piece. Two parts with the same
  // number: with the same text they are one part brought twice; with
  // another text the second belongs to a later message that reuses the
  // reference and waits for a later listing.
  std::vector<JoinedMessage> Join(const std::vector<ListedDeliver>& listed,
                                  std::chrono::milliseconds now);
  // A group was handed on: should a part with its name come again, it
  // starts a new wait.
  void Delivered(const JoinedMessage& message);
  // Groups of parts in the last listing, handed on or not.
  std::size_t Groups() const { return firstSeen_.size(); }

 private:
  struct Key {
    std::u16string sender;
    unsigned reference = 0;
    int total = 0;
    auto operator<=>(const Key&) const = default;
  };
  // Only groups of the last listing are kept, so this is bounded by it.
  std::map<Key, std::chrono::milliseconds> firstSeen_;
};

// Whether a part is taken on its own: no concatenation header, a count
// below 2, or a sequence number outside 1..count.
bool StandsAlone(const ConcatHeader& concat);

}  // namespace varnix
