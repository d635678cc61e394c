// The Inbox item beside the eight: the newest received messages, newest
// first, one line each. GUI thread only, like the items.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>

#include "dde/DdeModel.h"
#include "inbox/Inbox.h"

namespace varnix {

inline constexpr const char* kInboxItemName = "Inbox";
// How many messages the item holds; an older one drops out.
inline constexpr std::size_t kInboxItemMessages = 20;

class InboxItemOwner {
 public:
  // Creates Inbox on `conv`, empty; a client's poke into it is refused, and
  // it serves CF_UNICODETEXT beside CF_TEXT.
  void CreateItem(TDdeServerConv& conv);
  bool Created() const { return inbox_ != nullptr; }

  // The message with its inbox id becomes the first line; the item is
  // republished (its advise links told) on every arrival. Before
  // CreateItem nothing is kept.
  void Publish(std::uint64_t id, const ReceivedMessage& message);

  const std::deque<std::u16string>& Lines() const { return lines_; }

 private:
  std::unique_ptr<TDdeServerItem> inbox_;
  std::deque<std::u16string> lines_;
};

}  // namespace varnix
