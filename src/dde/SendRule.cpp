#include "dde/SendRule.h"

#include "dde/ResultItems.h"

namespace varnix {

void ItemOwner::CreateItems(TDdeServerConv& conv, GatewayState& state) {
  for (int i = 0; i < kItemCount; ++i) {
    auto item = std::make_unique<TDdeServerItem>();
    item->Name = ItemNames[static_cast<std::size_t>(i)];
    item->SetServerConv(&conv);
    item->Tag = i;
    item->OnPokeData = [&state](TDdeServerItem& sender) { ItemPokeData(state, sender); };
    state.items[static_cast<std::size_t>(i)] = item.get();
    items_[static_cast<std::size_t>(i)] = std::move(item);
  }
  created_ = true;
}

std::string QueueEntry(const std::string& number, const std::string& message) {
  // An entry is decoded by splitting it at its first comma, so a comma
  // inside the number would move the rest of it into the text ("123,4" and
  // "hi" would send "4,hi" to 123). Such a number is queued empty instead:
  // the worker refuses an empty number like any unsafe one, without a byte
  // to the modem, and its "0" comes in this message's place among the
  // outcomes. The outbox journals the entry as it is.
  if (number.find(',') != std::string::npos) return "," + message;
  return number + "," + message;
}

void ItemPokeData(GatewayState& state, TDdeServerItem& item) {
  if (item.Tag != kSend) return;
  TDdeServerItem* num = state.items[kNum];
  TDdeServerItem* sms = state.items[kSms];
  if (item.Text() != "1") return;
  const std::string number = num ? num->Text() : std::string();
  const std::string message = sms ? sms->Text() : std::string();
  // After shutdown has begun the queue is gone (or about to be); the client
  // still gets its acknowledgement and sees "Send" fall back to "0".
  const bool shuttingDown = state.stopRequested.load() || state.sendQueue.Released();
  std::optional<MessageId> queued;
  if (!number.empty() && !message.empty() && !shuttingDown) {
    ClientMessage entry;
    entry.entry = QueueEntry(number, message);
    queued = AcceptMessage(state, std::move(entry));
  }
  if (state.resultItems.id) SetConversationId(state, item.PokedBy(), queued);
  PublishSoon(state);
  item.SetText("0");
}

void WMSendDone(GatewayState& state, std::uintptr_t wParam) {
  if (wParam != 0) return;
  // A message's Result line before its Status.
  PublishResults(state);
  if (TDdeServerItem* status = state.items[kStatus])
    status->SetText(state.statusText.TakeForPublication());
}

}  // namespace varnix
