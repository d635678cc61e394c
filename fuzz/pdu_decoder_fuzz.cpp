// The incoming-PDU decoder on anything a modem could list, and the Inbox
// line made of what it decodes.
//
// Input: one flag byte, then the payload. Flag bit 0: the payload is a
// listed PDU line (hex text, service-centre address first), as the seeds
// hold them; otherwise the payload is a TPDU's octets.
#include <cstdint>
#include <string>

#include "FuzzInput.h"
#include "inbox/InboxText.h"
#include "text/Utf.h"
#include "sms/PduDecoder.h"

using namespace varnix;
using varnix::fuzz::FuzzInput;

namespace {

bool LoneHalf(const std::u16string& s) {
  for (std::size_t i = 0; i < s.size(); ++i) {
    const bool high = s[i] >= 0xD800 && s[i] <= 0xDBFF;
    const bool low = s[i] >= 0xDC00 && s[i] <= 0xDFFF;
    if (high && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
      ++i;
    } else if (high || low) {
      return true;
    }
  }
  return false;
}

void CheckTime(const SmsTime& t) {
  FUZZ_CHECK(t.year >= 2000 && t.year <= 2099);
  FUZZ_CHECK(t.month >= 1 && t.month <= 12 && t.day >= 1 && t.day <= 31);
  FUZZ_CHECK(t.hour >= 0 && t.hour < 24 && t.minute >= 0 && t.minute < 60);
  FUZZ_CHECK(t.second >= 0 && t.second < 60);
  FUZZ_CHECK(FormatSmsTime(t, true).size() == 25, FormatSmsTime(t, true));
}

void CheckAddress(const std::u16string& a) {
  // Twenty digits and a "+", or at most 11 octets' worth of septets.
  FUZZ_CHECK(a.size() <= 22);
  FUZZ_CHECK(!LoneHalf(a));
}

// Every field, for comparing two decodings of the same TPDU.
std::u16string Fields(const DecodedPdu& d) {
  std::u16string s(1, static_cast<char16_t>(u'0' + static_cast<int>(d.error)));
  if (const SmsDeliver* m = d.Deliver()) {
    s += m->sender + u'|' + m->text + u'|';
    for (int v : {int{m->senderType}, int{m->pid}, int{m->dcs}, m->messageClass,
                  static_cast<int>(m->coding), static_cast<int>(m->concat.reference),
                  m->concat.total, m->concat.seq, int{m->concat.present}}) {
      s += static_cast<char16_t>(v & 0xFFFF);
    }
    for (char c : FormatSmsTime(m->serviceCentreTime, true)) s += static_cast<char16_t>(c);
  }
  if (const SmsStatusReport* r = d.Report()) {
    s += r->recipient + u'|' + static_cast<char16_t>(r->messageReference) +
         static_cast<char16_t>(r->recipientType) + static_cast<char16_t>(r->status);
    for (char c : FormatSmsTime(r->serviceCentreTime, true) + FormatSmsTime(r->dischargeTime, true))
      s += static_cast<char16_t>(c);
  }
  return s;
}

std::string Hex(const std::string& bytes) {
  static const char d[] = "0123456789ABCDEF";
  std::string s;
  for (unsigned char b : bytes) s += {d[b >> 4], d[b & 15]};
  return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzInput in(data, size);
  const std::uint8_t flags = in.Byte();
  const std::string payload = in.Rest();
  const auto* octets = reinterpret_cast<const std::uint8_t*>(payload.data());

  DecodedPdu d;
  if (flags & 1) {
    d = DecodeListedPdu(payload);
  } else {
    d = DecodeTpdu(octets, payload.size());
    // The same octets behind an empty service-centre address, as hex.
    const DecodedPdu listed = DecodeListedPdu("00" + Hex(payload));
    FUZZ_CHECK(Fields(listed) == Fields(d), "listed and bare TPDU differ");
  }

  const bool decoded = d.Deliver() != nullptr || d.Report() != nullptr;
  FUZZ_CHECK(decoded == (d.error == PduError::kNone));

  if (const SmsDeliver* m = d.Deliver()) {
    CheckAddress(m->sender);
    CheckTime(m->serviceCentreTime);
    FUZZ_CHECK(m->messageClass >= -1 && m->messageClass <= 3);
    FUZZ_CHECK(!LoneHalf(m->text));
    switch (m->coding) {
      case DeliverCoding::kGsm7: FUZZ_CHECK(m->text.size() <= 160); break;
      case DeliverCoding::kUcs2: FUZZ_CHECK(m->text.size() <= 70); break;
      case DeliverCoding::kData8:
        FUZZ_CHECK(m->text.size() <= 280 && m->text.size() % 2 == 0);
        for (char16_t u : m->text) FUZZ_CHECK((u >= u'0' && u <= u'9') || (u >= u'A' && u <= u'F'));
        break;
    }
    if (m->concat.present) {
      FUZZ_CHECK(m->concat.seq >= 1 && m->concat.seq <= m->concat.total);
      FUZZ_CHECK(m->concat.total <= 255 && m->concat.reference <= 0xFFFF);
    }

    // What the Inbox and its log would show: one line of four fields.
    ReceivedMessage r;
    r.sender = m->sender;
    r.time = m->serviceCentreTime;
    r.text = m->text;
    const std::u16string line = InboxLine(flags, r);
    int tabs = 0;
    for (char16_t u : line) {
      FUZZ_CHECK(u == u'\t' || (u >= 0x20 && !(u >= 0x7F && u <= 0x9F)));
      tabs += u == u'\t';
    }
    FUZZ_CHECK(tabs == 3);
    FUZZ_CHECK(!LoneHalf(line));
    const std::string utf8 = Utf8Of(line);
    FUZZ_CHECK(utf8.size() >= line.size());
  }
  if (const SmsStatusReport* s = d.Report()) {
    CheckAddress(s->recipient);
    CheckTime(s->serviceCentreTime);
    CheckTime(s->dischargeTime);
    FUZZ_CHECK(s->messageReference >= 0 && s->messageReference <= 255);
  }
  return 0;
}
