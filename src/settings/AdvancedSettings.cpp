#include "settings/AdvancedSettings.h"

#include <optional>

#include "settings/ComSettings.h"

namespace varnix {
namespace {

std::string Quoted(const char* label) { return std::string("“") + label + "”"; }

// Why a field's value is refused, or nothing when it is allowed.
std::optional<std::string> Refusal(const ExtValue& v, const AdvancedField& f,
                                   const std::string& text, std::int32_t& value) {
  const std::optional<std::int32_t> parsed = StrToInt(text);
  if (!parsed) return Quoted(f.label) + "的值 '" + text + "' 不是整数";
  value = *parsed;
  if (value == 0 || (value >= v.low && value <= v.high)) return std::nullopt;
  const std::string high = std::to_string(v.high);
  if (v.low == v.high) return Quoted(f.label) + "只能是 0 或 1";
  if (v.low == 1) return Quoted(f.label) + "必须在 0 到 " + high + " 之间";
  return Quoted(f.label) + "必须是 0 (关闭) 或 " + std::to_string(v.low) + " 到 " + high +
         " 之间";
}

}  // namespace

AdvancedDialogValues FillAdvancedDialog(const ExtSettings& stored) {
  AdvancedDialogValues fields;
  for (std::size_t i = 0; i < kAdvancedFieldCount; ++i) {
    const std::int32_t value = (stored.*kExtValues[i].field).load();
    fields[i] = kAdvancedFields[i].checkBox ? std::string(1, value ? '1' : '0')
                                            : std::to_string(value);
  }
  return fields;
}

AdvancedApplyOutcome ComputeAdvancedApply(const AdvancedDialogValues& fields) {
  AdvancedApplyOutcome out;
  for (std::size_t i = 0; i < kAdvancedFieldCount; ++i) {
    if (auto why = Refusal(kExtValues[i], kAdvancedFields[i], fields[i], out.values[i])) {
      out.error = *why;
      out.values = {};
      return out;
    }
  }
  out.ok = true;
  return out;
}

void StoreAll(const AdvancedApplyOutcome& outcome, ExtSettings& settings) {
  for (std::size_t i = 0; i < kAdvancedFieldCount; ++i)
    (settings.*kExtValues[i].field).store(outcome.values[i]);
}

void StoreNextMessageValues(const AdvancedApplyOutcome& outcome, ExtSettings& running) {
  for (std::size_t i = 0; i < kAdvancedFieldCount; ++i) {
    if (kExtValues[i].applies == Applies::kNextMessage)
      (running.*kExtValues[i].field).store(outcome.values[i]);
  }
}

std::string AdvancedAppliesNote(Applies when) {
  std::string note = when == Applies::kNextMessage ? "从下一条短信起生效: " : "下次启动后才生效: ";
  bool first = true;
  for (std::size_t i = 0; i < kAdvancedFieldCount; ++i) {
    if (kExtValues[i].applies != when) continue;
    if (!first) note += "、";
    note += kAdvancedFields[i].label;
    first = false;
  }
  return note + "。";
}

}  // namespace varnix
