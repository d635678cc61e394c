// The items of a watched modem (Signal, Network, Operator), beside the
// eight, and what its checks and its presence change among the items.
// GUI thread only, like the items.
#pragma once

#include <memory>
#include <string>

#include "dde/DdeModel.h"
#include "gateway/GatewayState.h"
#include "modem/ModemWatch.h"

namespace varnix {

class ModemItemOwner {
 public:
  // Creates Signal, Network and Operator on `conv`, empty until the first
  // answered check; a client's poke into them is refused.
  void CreateItems(TDdeServerConv& conv);
  bool Created() const { return signal_ != nullptr; }

  // The values of an answered check; each item is told only when its value
  // changed. Returns the text for the status bar ("信号 23").
  std::wstring Publish(const ModemStatus& status);

 private:
  std::unique_ptr<TDdeServerItem> signal_, network_, operator_;
  ModemStatus last_;
  bool published_ = false;
};

// The port lost (false) or back (true): Wakeup reads "0" while it is away.
void PublishPresence(GatewayState& state, bool present);

}  // namespace varnix
