// The program's own DDE logic: the item table, the send rule for pokes into
// "Send", and the publication of each outcome in "Status".
#pragma once

#include <array>
#include <memory>
#include <string>

#include "dde/DdeModel.h"
#include "gateway/GatewayState.h"

namespace varnix {

inline constexpr std::array<const char*, kItemCount> ItemNames = {
    "Status", "Wakeup", "Sleep", "Num", "SMS", "Send", "", ""};

// Owns the eight items once created.
class ItemOwner {
 public:
  // Creates the eight items on `conv`, indexed and tagged 0..7, each with
  // ItemPokeData as its poke handler, and fills state.items.
  void CreateItems(TDdeServerConv& conv, GatewayState& state);
  bool Created() const { return created_; }

 private:
  std::array<std::unique_ptr<TDdeServerItem>, kItemCount> items_;
  bool created_ = false;
};

// The entry for one message: "number,text", as the journal keeps it. A
// number that holds a comma cannot be split back out of the entry; it is
// queued as an empty number, which the worker refuses in queue order.
std::string QueueEntry(const std::string& number, const std::string& message);

// The send rule. Only "Send" reacts; a trigger of exactly "1" accepts
// QueueEntry(number, text), decoded through state.codec, when both first
// lines are non-empty (and the queue has not been released by shutdown), and sets "Send" back to "0" in
// either case. The poking conversation's Id becomes the new message's id,
// or empty when nothing was queued; the queued line is published in Result
// once the poke has been answered.
void ItemPokeData(GatewayState& state, TDdeServerItem& item);

// WM_SENDDONE: with wParam 0, publishes the waiting Result lines, then
// copies statusText into "Status".
void WMSendDone(GatewayState& state, std::uintptr_t wParam);

}  // namespace varnix
