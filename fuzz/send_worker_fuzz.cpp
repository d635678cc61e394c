// The worker's reply judge and one whole message (an entry decoded as a
// poke's is, then SendWorker::ProcessMessage) against a port that answers
// with fuzzed chunks, in virtual time.
//
// Input: one byte giving the length of the queue entry, the entry, four
// bytes of Delay (any int32, negative ones included), then the port's
// script: per read one byte (its value mod 13: 0..10 bytes handed out,
// 11 "nothing", 12 an error result of -1) followed by the bytes it hands
// out. When the script ends every further read finds nothing.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "FuzzInput.h"
#include "sms/PduEncoder.h"
#include "gateway/SendWorker.h"
#include "message/ClientMessage.h"
#include "support/Utf8Codec.h"

using namespace varnix;
using varnix::fuzz::FuzzInput;
using std::chrono::milliseconds;

namespace {

struct Events {
  std::vector<std::string> sent;  // every Send, in order
  int receives = 0;
  int passes = 0;          // runs of reads without a pause between them
  bool lastWasRead = false;
  long long sleptMs = 0;
  int posts = 0;
  std::string handedOut;   // what the reads gave after the PDU
};

class ScriptedPort final : public ModemPort {
 public:
  ScriptedPort(FuzzInput& script, Events& ev) : script_(script), ev_(ev) {}

  int Send(const void* data, int count) override {
    FUZZ_CHECK(count >= 0);
    ev_.sent.emplace_back(static_cast<const char*>(data), static_cast<std::size_t>(count));
    ev_.lastWasRead = false;
    return 1;
  }

  int Receive(void* buffer, int max) override {
    FUZZ_CHECK(max == kReceiveChunk);
    FUZZ_CHECK(!ev_.sent.empty() && !ev_.sent.back().empty() && ev_.sent.back().back() == 26,
               "read before the PDU was sent");
    ++ev_.receives;
    if (!ev_.lastWasRead) ++ev_.passes;
    ev_.lastWasRead = true;
    if (script_.Empty()) return 0;
    const int op = script_.Byte() % 13;
    if (op == 11) return 0;
    if (op == 12) return -1;
    const std::string chunk = script_.Bytes(static_cast<std::size_t>(op));
    std::memcpy(buffer, chunk.data(), chunk.size());
    ev_.handedOut += chunk;
    return static_cast<int>(chunk.size());
  }

 private:
  FuzzInput& script_;
  Events& ev_;
};

class VirtualClock final : public WorkerClock {
 public:
  explicit VirtualClock(Events& ev) : ev_(ev) {}
  void Sleep(milliseconds d) override {
    FUZZ_CHECK(d.count() >= 0, std::to_string(d.count()));
    ev_.sleptMs += d.count();
    ev_.lastWasRead = false;
  }
  void WaitIdle(const SendQueue&, milliseconds d) override { Sleep(d); }

 private:
  Events& ev_;
};

void CheckJudge(std::string_view s) {
  const ReplyVerdict v = JudgeReply(s);
  const bool cmgs = s.find("+CMGS") != std::string_view::npos;
  const bool error = s.find("ERROR") != std::string_view::npos;
  FUZZ_CHECK(v == (cmgs ? ReplyVerdict::kSent
                        : error ? ReplyVerdict::kFailed : ReplyVerdict::kPending));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const varnix::testing::Utf8Codec codec;
  CheckJudge(std::string_view(reinterpret_cast<const char*>(data), size));

  FuzzInput in(data, size);
  const std::string entry = in.Bytes(in.Byte());
  const std::int32_t delay = static_cast<std::int32_t>(in.Dword());
  // Keep virtual time sane for the bound below; the sign is what matters.
  const std::atomic<std::int32_t> delayMs{delay % 100000};

  Events ev;
  ScriptedPort port(in, ev);
  VirtualClock clock(ev);
  GatewayState state;
  state.portHandle = 1;
  state.statusText.Set("unset");
  SendWorker worker(state, port, clock, delayMs, [&ev] { ++ev.posts; });
  worker.ProcessMessage(Decode(ClientMessage{0, entry, false, {}}, &codec));

  // Exactly one outcome per entry, "1" or "0".
  FUZZ_CHECK(ev.posts == 1, std::to_string(ev.posts));
  const std::string status = state.statusText.Get();
  FUZZ_CHECK(status == "1" || status == "0", status);
  FUZZ_CHECK(ev.passes <= kMaxReads, std::to_string(ev.passes));

  // The entry cut at its first comma; no comma: all of it is text.
  const std::size_t comma = entry.find(',');
  const std::string number = comma == std::string::npos ? std::string() : entry.substr(0, comma);
  const std::string text = comma == std::string::npos ? entry : entry.substr(comma + 1);
  if (!IsSendableNumber(number)) {
    FUZZ_CHECK(ev.sent.empty() && ev.receives == 0, "an unsafe number reached the modem");
    FUZZ_CHECK(status == "0");
    return 0;
  }
  // The dialogue: exactly three writes, no control byte but the final CR or
  // Ctrl-Z, and the announced length that of the PDU.
  FUZZ_CHECK(ev.sent.size() == 3, std::to_string(ev.sent.size()));
  FUZZ_CHECK(ev.sent[0] == "at+cmgf=0\r");
  const SubmitPdu pdu = BuildSubmitPdu(number, text, codec);
  FUZZ_CHECK(ev.sent[1] == "at+cmgs=" + std::to_string(pdu.cmgsLength) + "\r", ev.sent[1]);
  FUZZ_CHECK(ev.sent[2] == pdu.pdu + '\x1a');
  for (std::size_t i = 0; i + 1 < ev.sent[2].size(); ++i) {
    const char c = ev.sent[2][i];
    FUZZ_CHECK((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'), ev.sent[2]);
  }
  FUZZ_CHECK(ev.passes >= 1);

  // The verdict follows what the modem said, read as a whole.
  const bool cmgs = ev.handedOut.find("+CMGS") != std::string::npos;
  FUZZ_CHECK(status == (cmgs ? "1" : "0"), ev.handedOut);
  // Bounded: two command pauses, Delay, at most 11 read pauses and the
  // failure pause.
  const long long d = delayMs.load() < 0 ? 0 : delayMs.load();
  FUZZ_CHECK(ev.sleptMs <= 2000 + d + 11 * 1000 + 1000, std::to_string(ev.sleptMs));
  return 0;
}
