#include "dde/ModemItems.h"

#include "dde/ResultItems.h"

namespace varnix {
void ModemItemOwner::CreateItems(TDdeServerConv& conv) {
  signal_ = MakeReadOnlyItem(conv, "Signal");
  network_ = MakeReadOnlyItem(conv, "Network");
  operator_ = MakeReadOnlyItem(conv, "Operator");
}

std::wstring ModemItemOwner::Publish(const ModemStatus& status) {
  if (Created()) {
    if (!published_ || status.signal != last_.signal) signal_->SetText(status.signal);
    if (!published_ || status.network != last_.network) network_->SetText(status.network);
    if (!published_ || status.operatorName != last_.operatorName)
      operator_->SetText(status.operatorName);
  }
  last_ = status;
  published_ = true;
  std::wstring panel = L"\u4FE1\u53F7 ";  // 信号
  for (char c : status.signal) panel += static_cast<wchar_t>(c);
  return panel;
}

void PublishPresence(GatewayState& state, bool present) {
  if (TDdeServerItem* wakeup = state.items[kWakeup]) wakeup->SetText(present ? "1" : "0");
}

}  // namespace varnix
