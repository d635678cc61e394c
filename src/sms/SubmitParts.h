// A message text as the SMS-SUBMIT PDUs that carry it: the choice of
// alphabet, the cut into one SMS or into concatenated parts, and each
// part's PDU in the same layout as BuildSubmitPdu (empty service-centre
// address, MR 00, PID 00, relative validity of 4 days).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "sms/PduEncoder.h"

namespace varnix {

// What one SMS holds, without and with the concatenation header.
constexpr std::size_t kSingleUcs2Units = 70;
constexpr std::size_t kSingleSeptets = 160;
constexpr std::size_t kPartUcs2Units = 67;
constexpr std::size_t kPartSeptets = 153;
constexpr int kMaxParts = 255;

enum class TextCoding { kUcs2, kGsm7 };

struct SubmitOptions {
  // The Parts setting: 0 or 1, the text is cut to one SMS; 2 to 255, a
  // longer text becomes up to that many parts. Other values are taken as
  // the nearest of these.
  int parts = 0;
  // The Alphabet setting: 1 sends a text that fits the GSM 7-bit default
  // alphabet and its extension table in septets; 0 always sends UCS-2.
  int alphabet = 0;
  // TP-SRR: ask the network for a status report on every part.
  bool statusReport = false;
  // The concatenation reference, the same in every part of one message.
  // The caller keeps the counter, so that it goes up once per message.
  std::uint8_t reference = 0;
};

// The text cut into what each PDU carries. One entry and no header when
// the text fits one SMS (or the Parts setting allows only one).
struct TextCut {
  TextCoding coding = TextCoding::kUcs2;
  std::vector<std::u16string> parts;  // never empty; an empty text is one empty part
  bool concatenated = false;          // each part carries the 05 00 03 header
  std::size_t droppedUnits = 0;       // UTF-16 units beyond the last part
};

// GSM 7-bit when the Alphabet setting asks for it and every character of
// the whole text fits; UCS-2 otherwise.
TextCoding ChooseCoding(std::u16string_view text, int alphabet);

// The cut by the two settings. A cut never splits a surrogate pair (a high
// surrogate at the end of a part moves to the next) nor an escape sequence
// (an extension character that would not fit moves whole).
TextCut CutText(std::u16string_view text, int partsSetting, int alphabet);

// The PDUs of a whole message, one per part in order, each with its own
// AT+CMGS length. With Parts 0, Alphabet 0 and no status report this is
// exactly BuildSubmitPdu of the same text.
std::vector<SubmitPdu> BuildSubmitParts(std::string_view number, std::u16string_view text,
                                        const SubmitOptions& options);

// One part's PDU. `concat` false: no header, first octet 11 (31 with a
// status report); otherwise TP-UDHI (51 or 71) and the header
// 05 00 03 <reference> <total> <seq>. In 7-bit the text must fit the
// alphabet; characters that do not are left out.
SubmitPdu BuildPartPdu(std::string_view number, std::u16string_view partText, TextCoding coding,
                       bool statusReport, bool concat, std::uint8_t reference, int total,
                       int seq);

}  // namespace varnix
