#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "message/MessageResults.h"
#include "modem/LoggingPort.h"

namespace varnix {
namespace {

class Recorder final : public LogSink {
 public:
  void Line(std::string text) override { lines.push_back(std::move(text)); }
  std::vector<std::string> lines;
};

// Gives back the chunks it was handed, one per Receive, and keeps what was
// sent.
class ChunkPort final : public ModemPort {
 public:
  int Send(const void* data, int count) override {
    sent.append(static_cast<const char*>(data), static_cast<std::size_t>(count));
    return sendResult;
  }
  int Receive(void* buffer, int max) override {
    if (chunks.empty()) return 0;
    std::string& chunk = chunks.front();
    const int n = static_cast<int>(chunk.size()) < max ? static_cast<int>(chunk.size()) : max;
    std::memcpy(buffer, chunk.data(), static_cast<std::size_t>(n));
    chunk.erase(0, static_cast<std::size_t>(n));
    if (chunk.empty()) chunks.pop_front();
    return n;
  }
  std::deque<std::string> chunks;
  std::string sent;
  int sendResult = 1;
};

void Drain(ModemPort& port) {
  char buffer[10];
  for (int i = 0; i < 10000 && port.Receive(buffer, sizeof buffer) > 0; ++i) {
  }
}

TEST(LoggingPort, OneLineForEachSendAndEachAnswer) {
  ChunkPort inner;
  Recorder log;
  const std::string pdu = "0011000B918132547698F00008AA0C0048006900210021";
  {
    LoggingPort port(inner, log);
    const std::string cmgs = "AT+CMGS=23\r";
    EXPECT_EQ(port.Send(cmgs.data(), static_cast<int>(cmgs.size())), 1);
    inner.chunks = {"\r", "\n> "};
    Drain(port);
    const std::string whole = pdu + "\x1a";
    EXPECT_EQ(port.Send(whole.data(), static_cast<int>(whole.size())), 1);
    // Split across reads at awkward places, as a port gives them.
    inner.chunks = {"\r\n+CM", "GS: 5\r", "\n\r\nOK\r\n", "\r\nRI", "NG"};
    Drain(port);
    inner.sendResult = 0;
    EXPECT_EQ(port.Send("AT\r", 3), 0);  // the caller sees the port's own answer
  }                                      // what is left unended goes out when the port goes
  EXPECT_EQ(inner.sent, "AT+CMGS=23\r" + pdu + "\x1a" + "AT\r");
  const std::vector<std::string> expected = {
      "modem> AT+CMGS=23<0d>",
      "modem< <0d><0a>> ",
      "modem> " + pdu + "<1a>",
      "modem< <0d><0a>+CMGS: 5<0d><0a>",
      "modem< <0d><0a>OK<0d><0a>",
      "modem< <0d><0a>RING",
      "modem> AT<0d>",
      "modem: the write failed",
  };
  // RING without its line end is written before the next Send.
  EXPECT_EQ(log.lines, expected);
}

TEST(LoggingPort, ALongRunWithoutLineEndIsCut) {
  ChunkPort inner;
  Recorder log;
  LoggingPort port(inner, log);
  inner.chunks = {std::string(LoggingPort::kMaxLine + 5, 'A')};
  Drain(port);
  ASSERT_EQ(log.lines.size(), 1u);
  EXPECT_EQ(log.lines[0], "modem< " + std::string(LoggingPort::kMaxLine, 'A'));
  port.Flush();
  ASSERT_EQ(log.lines.size(), 2u);
  EXPECT_EQ(log.lines[1], "modem< AAAAA");
}

TEST(ResultLogObserver, SeesEveryChangeInOrder) {
  ResultLog results;
  std::vector<std::string> seen;
  results.SetObserver([&](const StateChange& c) { seen.push_back(ResultLine(c)); });
  results.Push({1, MessageState::kQueued, ""});
  results.Push({1, MessageState::kSent, "7"});
  results.Push({2, MessageState::kFailed, "no prompt"});
  EXPECT_EQ(seen, (std::vector<std::string>{"1\tqueued\t", "1\tsent\t7", "2\tfailed\tno prompt"}));
  EXPECT_EQ(results.TakeAll().size(), 3u);  // the changes still wait for publication
}

}  // namespace
}  // namespace varnix
