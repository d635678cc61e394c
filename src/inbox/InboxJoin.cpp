#include "inbox/InboxJoin.h"

#include <algorithm>

namespace varnix {
namespace {

struct Group {
  std::size_t firstPosition = 0;  // in the listing
  std::map<int, const ListedDeliver*> parts;  // by sequence number
  std::vector<int> indices;
};

JoinedMessage Whole(const ListedDeliver& d) {
  JoinedMessage out;
  out.message.sender = d.sms.sender;
  out.message.time = d.sms.serviceCentreTime;
  out.message.text = d.sms.text;
  out.indices = {d.index};
  return out;
}

JoinedMessage Joined(const std::u16string& sender, unsigned reference, int total,
                     const Group& group) {
  JoinedMessage out;
  out.reference = reference;
  out.total = total;
  out.indices = group.indices;
  out.message.sender = sender;
  out.message.parts = total;
  // The time of the lowest part there: part 1 unless that one is missing.
  out.message.time = group.parts.begin()->second->sms.serviceCentreTime;
  for (int seq = 1; seq <= total; ++seq) {
    const auto it = group.parts.find(seq);
    if (it == group.parts.end()) {
      out.message.text += kMissingPart;
      ++out.message.missingParts;
    } else {
      out.message.text += it->second->sms.text;
    }
  }
  return out;
}

}  // namespace

bool StandsAlone(const ConcatHeader& concat) {
  return !concat.present || concat.total < 2 || concat.seq < 1 || concat.seq > concat.total;
}

std::vector<JoinedMessage> InboxJoin::Join(const std::vector<ListedDeliver>& listed,
                                           std::chrono::milliseconds now) {
  std::vector<std::pair<std::size_t, JoinedMessage>> ready;  // by position
  std::map<Key, Group> groups;
  for (std::size_t i = 0; i < listed.size(); ++i) {
    const ListedDeliver& d = listed[i];
    const ConcatHeader& c = d.sms.concat;
    if (StandsAlone(c)) {
      ready.emplace_back(i, Whole(d));
      continue;
    }
    Key key{d.sms.sender, c.reference, c.total};
    auto [it, fresh] = groups.try_emplace(std::move(key));
    Group& group = it->second;
    if (fresh) group.firstPosition = i;
    const auto [part, added] = group.parts.emplace(c.seq, &d);
    if (added) {
      group.indices.push_back(d.index);
    } else if (part->second->sms.text == d.sms.text) {
      group.indices.push_back(d.index);  // the same part again: goes with it
    }
    // Otherwise it is left in the modem for a later message of that name.
  }

  std::map<Key, std::chrono::milliseconds> seen;
  for (const auto& [key, group] : groups) {
    const auto was = firstSeen_.find(key);
    const std::chrono::milliseconds first = was == firstSeen_.end() ? now : was->second;
    const bool complete = static_cast<int>(group.parts.size()) == key.total;
    if (complete || now - first >= kPartialAfter) {
      ready.emplace_back(group.firstPosition, Joined(key.sender, key.reference, key.total, group));
    }
    // Kept while the group is in the modem, handed on or not: a Deliver
    // that failed must not start its wait anew.
    seen.emplace(key, first);
  }
  firstSeen_ = std::move(seen);

  std::stable_sort(ready.begin(), ready.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<JoinedMessage> out;
  out.reserve(ready.size());
  for (auto& [position, message] : ready) out.push_back(std::move(message));
  return out;
}

void InboxJoin::Delivered(const JoinedMessage& message) {
  if (message.total < 2) return;
  firstSeen_.erase(Key{message.message.sender, message.reference, message.total});
}

}  // namespace varnix
