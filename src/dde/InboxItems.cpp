#include "dde/InboxItems.h"

#include <vector>

#include "inbox/InboxText.h"
#include "dde/ResultItems.h"

namespace varnix {

void InboxItemOwner::CreateItem(TDdeServerConv& conv) {
  inbox_ = MakeReadOnlyItem(conv, kInboxItemName);
  inbox_->Unicode = true;
  lines_.clear();
}

void InboxItemOwner::Publish(std::uint64_t id, const ReceivedMessage& message) {
  if (!inbox_) return;
  lines_.push_front(InboxLine(id, message));
  while (lines_.size() > kInboxItemMessages) lines_.pop_back();
  inbox_->SetWideLines(std::vector<std::u16string>(lines_.begin(), lines_.end()));
}

}  // namespace varnix
