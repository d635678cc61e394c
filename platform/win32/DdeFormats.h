// The clipboard formats the items are served in. Every item serves CF_TEXT
// in the ANSI code page; the items marked Unicode serve CF_UNICODETEXT too.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

#include "dde/DdeModel.h"

namespace varnix::win32 {

// UTF-16 in the ANSI code page, "?" for what it lacks.
std::string NarrowToAnsi(std::u16string_view text);
// The ANSI code page read as UTF-16.
std::u16string WidenFromAnsi(std::string_view text);

// Whether `item` is served in `format`.
bool Serves(const TDdeServerItem& item, UINT format);
// The bytes of a request or an advise of `item` in `format` for the
// conversation `to`; empty when the item does not serve that format.
std::string ServedIn(const TDdeServerItem& item, UINT format, ClientKey to);

}  // namespace varnix::win32
