// Poke storage, line splitting, served data and the send rule on any bytes.
//
// Input: a sequence of pokes, each one byte naming the item (index mod 8),
// two bytes of declared size and up to that many bytes of data; the data
// block handed over is exactly the declared size (shorter when the input
// ends), in its own heap block so that a read past it is caught.
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "FuzzInput.h"
#include "dde/DdeModel.h"
#include "dde/SendRule.h"
#include "support/Utf8Codec.h"

using namespace varnix;
using varnix::fuzz::FuzzInput;

namespace {

struct CountingSink final : AdviseSink {
  std::vector<const TDdeServerItem*> told;
  void ItemChanged(const TDdeServerItem& item) override { told.push_back(&item); }
};

// The lines as a plain reading of the rule: text up to the first NUL,
// CR LF / CR / LF end a line, no empty line after a final break.
std::vector<std::string> Reference(const std::uint8_t* data, std::size_t size) {
  std::string text;
  for (std::size_t i = 0; i < size && data[i] != 0; ++i) text += static_cast<char>(data[i]);
  std::vector<std::string> lines;
  std::string cur;
  bool open = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\r' || c == '\n') {
      lines.push_back(cur);
      cur.clear();
      open = false;
      if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else {
      cur += c;
      open = true;
    }
  }
  if (open) lines.push_back(cur);
  return lines;
}

void CheckLines(const std::vector<std::string>& lines, const std::uint8_t* data,
                std::size_t size) {
  std::size_t textLen = 0;
  while (textLen < size && data[textLen] != 0) ++textLen;
  std::size_t total = 0;
  for (const std::string& line : lines) {
    FUZZ_CHECK(line.find_first_of("\r\n") == std::string::npos, line);
    FUZZ_CHECK(line.find('\0') == std::string::npos, line);
    total += line.size();
  }
  FUZZ_CHECK(total <= textLen, "lines hold more than the text before the NUL");
  FUZZ_CHECK(lines == Reference(data, size));

  const std::string served = JoinServedData(lines);
  FUZZ_CHECK(!served.empty() && served.back() == '\0');
  FUZZ_CHECK(served.find('\0') == served.size() - 1, "a NUL before the end");
  std::size_t expect = 1;
  for (const std::string& line : lines) expect += line.size() + 2;
  FUZZ_CHECK(served.size() == expect);
  FUZZ_CHECK(SplitPokeText(reinterpret_cast<const std::uint8_t*>(served.data()),
                           served.size()) == lines,
             "served data does not split back into the same lines");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const varnix::testing::Utf8Codec codec;
  GatewayState state;
  state.codec = &codec;
  TDdeServerConv conv("SMS0");
  CountingSink sink;
  conv.SetAdviseSink(&sink);
  ItemOwner owner;
  owner.CreateItems(conv, state);

  FuzzInput in(data, size);
  std::size_t queued = 0;
  for (int pokes = 0; !in.Empty() && pokes < 64; ++pokes) {
    const int index = in.Byte() % kItemCount;
    const std::size_t declared = in.Word();
    const std::string payload = in.Bytes(declared);
    // Exactly payload.size() bytes, nothing after them.
    std::unique_ptr<std::uint8_t[]> block(new std::uint8_t[payload.size() ? payload.size() : 1]);
    if (!payload.empty()) std::memcpy(block.get(), payload.data(), payload.size());
    const std::uint8_t* p = payload.empty() ? nullptr : block.get();

    CheckLines(SplitPokeText(p, payload.size()), block.get(), payload.size());

    const std::vector<std::string> stored = Reference(block.get(), payload.size());
    TDdeServerItem& item = *state.items[static_cast<std::size_t>(index)];
    const std::string num = state.items[kNum]->Text();
    const std::string sms = state.items[kSms]->Text();
    sink.told.clear();
    item.StorePoke(p, payload.size());
    const bool trigger = index == kSend && !stored.empty() && stored[0] == "1";
    if (!trigger) FUZZ_CHECK(item.Lines() == stored);

    // One notification for the poke, one more for "Send" falling back to "0".
    FUZZ_CHECK(sink.told.size() == (trigger ? 2u : 1u));
    for (const TDdeServerItem* told : sink.told) FUZZ_CHECK(told == &item);
    if (trigger) {
      FUZZ_CHECK(item.Lines() == std::vector<std::string>{"0"});
      const std::string newNum = state.items[kNum]->Text();
      const std::string newSms = state.items[kSms]->Text();
      FUZZ_CHECK(newNum == num && newSms == sms, "the send rule changed Num or SMS");
      if (!num.empty() && !sms.empty()) {
        ++queued;
        FUZZ_CHECK(state.sendQueue.Count() == queued);
        // The newest message is the last one: take all and put them back.
        std::vector<QueuedMessage> all;
        while (auto m = state.sendQueue.TakeNext()) all.push_back(std::move(*m));
        FUZZ_CHECK(all.size() == queued);
        // A number without a comma comes back whole, one with a comma is
        // queued empty (the worker refuses it), and the text always comes
        // back whole, through the code page.
        const bool commaInNum = num.find(',') != std::string::npos;
        FUZZ_CHECK(QueueEntry(num, sms) == (commaInNum ? "," + sms : num + "," + sms), num);
        FUZZ_CHECK(all.back().number == (commaInNum ? std::string() : num), num);
        FUZZ_CHECK(all.back().text == codec.ToUtf16(sms) && !all.back().textLost, sms);
        for (QueuedMessage& m : all) state.sendQueue.Append(std::move(m));
      }
    }
    FUZZ_CHECK(state.sendQueue.Count() == queued);
  }
  return 0;
}
