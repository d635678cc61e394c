// What the advanced settings dialog shows and stores, without the window:
// the nine opt-in values of ExtSettings as the dialog's fields, their
// ranges, the Chinese texts that name them, and the all-or-nothing Apply.
// The window itself is app/AdvancedSettingsDialog.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "settings/ExtSettings.h"

namespace varnix {

inline constexpr std::size_t kAdvancedFieldCount = kExtValues.size();

// One field of the dialog, in the order of kExtValues. A value that is only
// on or off is a check box; the others are number boxes. Texts are UTF-8.
struct AdvancedField {
  bool checkBox;
  const char* label;  // names the field in the dialog and in its errors
  const char* hint;   // the allowed values, beside the box
};

inline constexpr std::array<AdvancedField, kAdvancedFieldCount> kAdvancedFields = {{
    {false, "长短信分段数", "0 或 1: 不分段; 2-255"},
    {true, "GSM 7 位编码", "文字都在 GSM 字母表内时使用"},
    {true, "按提示符对话", "等待调制解调器的提示符再发送"},
    {true, "发件箱", "待发短信保存在磁盘上"},
    {false, "失败重试次数", "0: 不重试; 1-10"},
    {false, "检查调制解调器间隔", "秒; 0: 不检查; 10-3600"},
    {false, "接收短信间隔", "秒; 0: 不接收; 5-3600"},
    {true, "送达报告", "每段短信都要求状态报告"},
    {false, "日志保留天数", "0: 不记日志; 1-365"},
}};
inline constexpr int kMaxAdvancedChars = 5;  // "3600" and a sign fit

// The fields as the dialog holds them, in the order of kExtValues: the text
// of a number box, "1" or "0" for a check box.
using AdvancedDialogValues = std::array<std::string, kAdvancedFieldCount>;

// Stored values -> fields.
AdvancedDialogValues FillAdvancedDialog(const ExtSettings& stored);

struct AdvancedApplyOutcome {
  bool ok = false;
  std::string error;  // UTF-8, names the first refused field, when !ok
  std::array<std::int32_t, kAdvancedFieldCount> values{};  // when ok
};
// Fields -> values, every field checked before anything is stored: a text
// that is not an integer or a value outside 0 and low..high refuses the
// whole Apply.
AdvancedApplyOutcome ComputeAdvancedApply(const AdvancedDialogValues& fields);

// The outcome's values into a record, all nine, or only those that apply
// from the next message (the running record the worker reads).
void StoreAll(const AdvancedApplyOutcome& outcome, ExtSettings& settings);
void StoreNextMessageValues(const AdvancedApplyOutcome& outcome, ExtSettings& running);

// The dialog's note on the values that take effect at `when` (UTF-8), one
// line naming those fields.
std::string AdvancedAppliesNote(Applies when);

}  // namespace varnix
