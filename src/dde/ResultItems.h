// The items beside the eight that tell a client about its messages (Id,
// Result, Queue), how a message is accepted with its id, and the Send
// command a client may give as an execute. GUI thread only, like the items.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "dde/DdeModel.h"
#include "gateway/GatewayState.h"
#include "message/ClientMessage.h"

namespace varnix {

class AnsiCodec;

inline constexpr const char* kIdItemName = "Id";
inline constexpr const char* kResultItemName = "Result";
inline constexpr const char* kQueueItemName = "Queue";

// An item of the program's own on `conv`: a client's poke into it is
// refused; it serves CF_UNICODETEXT beside CF_TEXT.
std::unique_ptr<TDdeServerItem> MakeReadOnlyItem(TDdeServerConv& conv, const char* name);

// Owns the three items once created.
class ResultItemOwner {
 public:
  // Creates Id, Result and Queue on `conv` (Queue "0"), fills
  // state.resultItems, and takes the topic's executes and ended
  // conversations. `codec` turns an ANSI client's execute into UTF-16; it
  // and `state` outlive the items.
  void CreateItems(TDdeServerConv& conv, GatewayState& state, const AnsiCodec& codec);

 private:
  std::unique_ptr<TDdeServerItem> id_, result_, queue_;
};

// Gives the message the next id, journals it as it came (with the outbox),
// records it queued and queues it decoded through state.codec; nullopt (and
// nothing recorded) when the queue or the journal no longer takes messages.
std::optional<MessageId> AcceptMessage(GatewayState& state, ClientMessage client);

// The conversation's Id becomes `id`, or empty; its advise links are told
// when that changed.
void SetConversationId(GatewayState& state, ClientKey client, std::optional<MessageId> id);

// An execute on the topic; true to acknowledge it. One or more Send
// commands are queued all or none: all when every one is well formed, its
// number sendable and its text not empty, and the queue still takes
// messages. Anything that is not a Send command is acknowledged and does
// nothing.
bool ExecuteOnTopic(GatewayState& state, const AnsiCodec& codec, const std::uint8_t* data,
                    std::size_t size, ClientKey from);

// Publishes every waiting change in Result, one advise each, in order, and
// Queue whenever its count changes; tells Id's links of a changed Id.
void PublishResults(GatewayState& state);

// PublishResults after the DDE transaction under way has been answered
// (at once when the state has no schedulePublish). Wine's DDEML client
// takes an advise that arrives while its poke waits for the answer as that
// answer, and then reports the poke failed: so nothing is advised from
// inside a client's poke or execute.
void PublishSoon(GatewayState& state);

// Shutdown without an outbox: the messages that never went out end failed
// "closed". Status is not touched for them.
void FailWaiting(GatewayState& state, const std::vector<QueuedMessage>& waiting);

}  // namespace varnix
