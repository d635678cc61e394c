#include "dde/ResultItems.h"

#include <string>
#include <utility>

#include "dde/ExecuteCommand.h"
#include "outbox/Journal.h"
#include "sms/PduEncoder.h"

namespace varnix {
namespace {

// A number from an execute as the modem would get it: plain ASCII, and
// only "+" and digits.
std::optional<std::string> SendableNumber(const std::u16string& number) {
  std::string ascii;
  for (char16_t c : number) {
    if (c > 0x7F) return std::nullopt;
    ascii += static_cast<char>(c);
  }
  if (!IsSendableNumber(ascii)) return std::nullopt;
  return ascii;
}

bool ShuttingDown(const GatewayState& state) {
  return state.stopRequested.load() || state.sendQueue.Released();
}

}  // namespace

std::unique_ptr<TDdeServerItem> MakeReadOnlyItem(TDdeServerConv& conv, const char* name) {
  auto item = std::make_unique<TDdeServerItem>();
  item->Name = name;
  item->ReadOnly = true;
  // Only the eight are CF_TEXT alone: every item added beside them serves
  // CF_UNICODETEXT too.
  item->Unicode = true;
  item->SetServerConv(&conv);
  return item;
}

void ResultItemOwner::CreateItems(TDdeServerConv& conv, GatewayState& state,
                                  const AnsiCodec& codec) {
  id_ = MakeReadOnlyItem(conv, kIdItemName);
  id_->LinesFor = [&state](ClientKey client) {
    const auto it = state.conversationIds.find(client);
    if (it == state.conversationIds.end()) return std::vector<std::string>();
    return std::vector<std::string>{std::to_string(it->second)};
  };
  result_ = MakeReadOnlyItem(conv, kResultItemName);
  queue_ = MakeReadOnlyItem(conv, kQueueItemName);
  queue_->SetText(std::to_string(state.unfinished));
  state.resultItems = {id_.get(), result_.get(), queue_.get()};

  conv.OnExecute = [&state, &codec](const std::uint8_t* data, std::size_t size, ClientKey from) {
    return ExecuteOnTopic(state, codec, data, size, from);
  };
  conv.OnClientGone = [&state](ClientKey client) { state.conversationIds.erase(client); };
}

std::optional<MessageId> AcceptMessage(GatewayState& state, ClientMessage client) {
  if (ShuttingDown(state)) return std::nullopt;
  const MessageId id = state.lastId + 1;
  client.id = id;
  // With the outbox a message is accepted only once it is on the disk:
  // the poke or execute is answered after this. The journal keeps the
  // bytes as they came; the queue, only what they decode to.
  if (state.journal && !state.journal->Accepted(client)) return std::nullopt;
  QueuedMessage message = Decode(std::move(client), state.codec);
  // Recorded before the worker can see the message, so that its queued
  // line always comes before whatever the worker makes of it.
  state.results.Push({id, MessageState::kQueued, {}});
  if (!state.sendQueue.Append(std::move(message))) {
    // Only the GUI thread releases the queue, after raising the flags
    // checked above; should it still happen, the record stays whole.
    state.results.Push({id, MessageState::kFailed, "closed"});
  }
  state.lastId = id;
  return id;
}

void SetConversationId(GatewayState& state, ClientKey client, std::optional<MessageId> id) {
  const auto it = state.conversationIds.find(client);
  const bool had = it != state.conversationIds.end();
  if (had == id.has_value() && (!had || it->second == *id)) return;
  if (id) {
    state.conversationIds[client] = *id;
  } else {
    state.conversationIds.erase(client);
  }
  state.conversationIdChanged = true;
}

bool ExecuteOnTopic(GatewayState& state, const AnsiCodec& codec, const std::uint8_t* data,
                    std::size_t size, ClientKey from) {
  const ParsedExecute parsed = ParseExecute(ExecuteText(data, size, codec));
  if (parsed.kind == ExecuteKind::kOther) return true;
  if (parsed.kind != ExecuteKind::kSend || ShuttingDown(state)) return false;

  std::vector<ClientMessage> messages;
  for (const SendCommand& command : parsed.commands) {
    const std::optional<std::string> number = SendableNumber(command.number);
    if (!number || command.text.empty()) return false;
    ClientMessage message;
    message.entry = *number + ",";
    message.unicode = true;
    message.text16 = command.text;
    messages.push_back(std::move(message));
  }
  std::optional<MessageId> last;
  for (ClientMessage& message : messages) {
    if (std::optional<MessageId> id = AcceptMessage(state, std::move(message))) last = id;
  }
  if (!last) return false;
  SetConversationId(state, from, last);
  PublishSoon(state);
  return true;
}

void PublishSoon(GatewayState& state) {
  if (state.schedulePublish) {
    state.schedulePublish();
  } else {
    PublishResults(state);
  }
}

void PublishResults(GatewayState& state) {
  if (state.conversationIdChanged) {
    state.conversationIdChanged = false;
    // Every link on Id is served its own conversation's value.
    if (state.resultItems.id) state.resultItems.id->Changed();
  }
  for (const StateChange& change : state.results.TakeAll()) {
    const std::size_t before = state.unfinished;
    if (change.state == MessageState::kQueued) {
      ++state.unfinished;
    } else if (IsFinal(change.state) && state.unfinished > 0) {
      --state.unfinished;
    }
    if (state.resultItems.result) state.resultItems.result->SetText(ResultLine(change));
    if (state.unfinished != before && state.resultItems.queue)
      state.resultItems.queue->SetText(std::to_string(state.unfinished));
  }
}

void FailWaiting(GatewayState& state, const std::vector<QueuedMessage>& waiting) {
  // With the outbox what waits is journaled and goes out after the next
  // start.
  if (state.journal) return PublishResults(state);
  for (const QueuedMessage& message : waiting) {
    if (message.id != 0) state.results.Push({message.id, MessageState::kFailed, "closed"});
  }
  PublishResults(state);
}

}  // namespace varnix
