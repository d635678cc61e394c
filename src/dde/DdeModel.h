// The DDE topic and its items as data: what an item holds, how a poke is
// stored, what a request is served. The DDEML transport that calls into this
// lives in platform/win32/DdeServer.*; nothing here touches Windows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "message/QueuedMessage.h"

namespace varnix {

class TDdeServerItem;


// Told after every write of an item's Text and every stored poke, so that
// clients holding an advise link on that item get the new data.
class AdviseSink {
 public:
  virtual ~AdviseSink() = default;
  virtual void ItemChanged(const TDdeServerItem& item) = 0;
};

// The topic. Owns nothing but the list of its items (not owned).
class TDdeServerConv {
 public:
  explicit TDdeServerConv(std::string name = {}) : name_(std::move(name)) {}
  const std::string& Name() const { return name_; }
  void SetName(std::string name) { name_ = std::move(name); }

  void SetAdviseSink(AdviseSink* sink) { sink_ = sink; }
  AdviseSink* Sink() const { return sink_; }

  // The ANSI code page of CF_TEXT, for the items that also serve
  // CF_UNICODETEXT: Narrow writes UTF-16 in it ("?" for what it lacks),
  // Widen reads it. The transport sets the system's; until then ASCII
  // stands in (Narrow: "?" above U+007F; Widen: each byte as its own unit).
  std::function<std::string(std::u16string_view)> Narrow;
  std::function<std::u16string(std::string_view)> Widen;
  std::string NarrowText(std::u16string_view text) const;
  std::u16string WidenText(std::string_view text) const;

  void Attach(TDdeServerItem* item);
  void Detach(TDdeServerItem* item);
  // Exact, case-sensitive name match; nullptr when no item has that name.
  TDdeServerItem* FindItem(std::string_view name) const;
  const std::vector<TDdeServerItem*>& Items() const { return items_; }

  // An execute on the topic: true to acknowledge it. Without a handler
  // every execute is acknowledged and has no effect.
  using ExecuteHandler =
      std::function<bool(const std::uint8_t* data, std::size_t size, ClientKey from)>;
  ExecuteHandler OnExecute;
  bool Execute(const std::uint8_t* data, std::size_t size, ClientKey from) const;

  // A conversation has ended: whatever was kept for it can go.
  std::function<void(ClientKey)> OnClientGone;
  void ClientGone(ClientKey client) const;

 private:
  std::string name_;
  AdviseSink* sink_ = nullptr;
  std::vector<TDdeServerItem*> items_;
};

class TDdeServerItem {
 public:
  using PokeHandler = std::function<void(TDdeServerItem& sender)>;

  TDdeServerItem() = default;
  ~TDdeServerItem();
  TDdeServerItem(const TDdeServerItem&) = delete;
  TDdeServerItem& operator=(const TDdeServerItem&) = delete;

  std::string Name;
  int Tag = 0;
  PokeHandler OnPokeData;
  // The program's own results: a client's poke is refused, not stored.
  bool ReadOnly = false;
  // When set, the item holds one value per conversation: a request or an
  // advise is served what this gives for the conversation asking, and
  // Lines() is not used.
  std::function<std::vector<std::string>(ClientKey)> LinesFor;
  // Served in CF_UNICODETEXT as well as CF_TEXT (requests and advise
  // links). The eight items are CF_TEXT only.
  bool Unicode = false;

  TDdeServerConv* ServerConv() const { return conv_; }
  void SetServerConv(TDdeServerConv* conv);

  const std::vector<std::string>& Lines() const { return lines_; }
  // The first line, or empty.
  std::string Text() const;
  // The value becomes exactly this one line; advise links are always told,
  // also when the value did not change.
  void SetText(std::string value);

  // The value becomes these UTF-16 lines: CF_UNICODETEXT serves them as
  // they are, CF_TEXT through the conversation's code page. Advise links
  // are told. A SetText or a poke drops them again.
  void SetWideLines(std::vector<std::u16string> lines);
  const std::vector<std::u16string>& WideLines() const { return wideLines_; }

  // A client's CF_TEXT poke: stores the lines, tells the advise links, then
  // runs OnPokeData, which can ask PokedBy() who poked.
  void StorePoke(const std::uint8_t* data, std::size_t size, ClientKey from = 0);
  // The conversation of the poke stored last; 0 after a SetText.
  ClientKey PokedBy() const { return pokedBy_; }

  // What a request or an advise is served: each line + CR LF, then one NUL.
  std::string ServedData(ClientKey to = 0) const;
  // The same in CF_UNICODETEXT: the UTF-16 lines, or else the ANSI ones
  // widened, each + CR LF, then one NUL unit.
  std::u16string ServedUnicode(ClientKey to = 0) const;

  // Tells the advise links, for a value that changed outside SetText (a
  // conversation's value of a LinesFor item).
  void Changed();

 private:
  std::vector<std::string> lines_;
  std::vector<std::u16string> wideLines_;
  bool wide_ = false;  // wideLines_ hold the value
  TDdeServerConv* conv_ = nullptr;
  ClientKey pokedBy_ = 0;
};

// The poked bytes up to the first NUL (never beyond `size`), split into
// lines: CR LF, a lone CR and a lone LF each end a line; a break at the very
// end adds no empty line; an empty text gives no lines.
std::vector<std::string> SplitPokeText(const std::uint8_t* data, std::size_t size);

// Every line followed by CR LF, then a NUL (the NUL is part of the result).
std::string JoinServedData(const std::vector<std::string>& lines);
std::u16string JoinServedData(const std::vector<std::u16string>& lines);

// The executable's file name without its directory, cut at the first dot.
std::string ServiceNameFromPath(std::string_view exePath);

// Topic names compare without regard to case (ASCII letters; the server
// layer compares window captions in the user's locale itself).
bool SameTopicName(std::string_view a, std::string_view b);

// Whether a connect for (service, topic) is accepted. `serviceGiven` false
// means the client left the service open; `serviceMatches` is the
// platform's string-handle comparison with our own service name. The topic
// is accepted when it names the conversation (`convName`, empty when the
// topic does not exist yet) or, through `isCaption`, the caption of one of
// the program's windows.
struct ConnectRequest {
  bool serviceGiven = false;
  bool serviceMatches = false;
  std::string_view topic;
};
bool AcceptsConnect(const ConnectRequest& request, std::string_view convName,
                    const std::function<bool(std::string_view)>& isCaption);

// The DDE initialisation error text for a DDEML error code.
std::string DdeInitErrorText(unsigned code);

}  // namespace varnix
