// The worker with a modem that stores incoming messages and reports, in
// virtual time: "AT+CMGL=4" lists the store, "AT+CMGD=<i>" deletes from
// it, and changes to the store can be planned for chosen moments.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "support/IncomingPdus.h"
#include "support/PromptBench.h"
#include "dde/ResultItems.h"
#include "inbox/Inbox.h"

namespace varnix::testing {

struct RecordingSink final : InboxSink {
  std::function<bool(const ReceivedMessage&)> accept;  // null: takes everything
  std::vector<ReceivedMessage> offered;
  std::function<void(const ReceivedMessage&)> onDeliver;
  bool Deliver(const ReceivedMessage& message) override {
    offered.push_back(message);
    if (onDeliver) onDeliver(message);
    return accept ? accept(message) : true;
  }
};

struct InboxBench : PromptBench {
  struct Stored {
    int stat = 0;
    std::string pdu;
  };
  std::map<int, Stored> store;
  int nextIndex = 1;
  std::multimap<long, std::function<void()>> plan;  // by virtual time
  RecordingSink sink;
  std::map<int, int> failDeletes;  // index: how many AT+CMGD of it fail
  int listingErrors = 0;           // how many listings answer ERROR
  int resultsPosted = 0;

  InboxBench(int receive, int report, int parts = 0, int dialogue = 1) : PromptBench(parts, 0) {
    ext.Receive = receive;
    ext.Report = report;
    ext.Dialogue = dialogue;
    worker.SetExtensions(ext, &readerClock);
    worker.SetInboxSink(&sink);
    worker.SetOnResults([this] { ++resultsPosted; });
    sink.onDeliver = [this](const ReceivedMessage& m) {
      log.push_back({clock.now, "deliver:" + std::string(m.text.begin(), m.text.end())});
    };
    modem.edit = [this](const std::string& sent, int, std::vector<PromptModem::Chunk>& a) {
      RunPlan();
      if (sent == "AT+CMGL=4\r") {
        a = {{20, listingErrors-- > 0 ? "\r\nERROR\r\n" : Listing()}};
      } else if (sent.rfind("AT+CMGD=", 0) == 0) {
        const int index = std::stoi(sent.substr(8));
        if (failDeletes[index]-- > 0 || store.erase(index) == 0)
          a = {{10, "\r\n+CMS ERROR: 321\r\n"}};
        else
          a = {{10, "\r\nOK\r\n"}};
      }
    };
  }
  int Store(std::string pdu, int stat = 0) {
    store[nextIndex] = {stat, std::move(pdu)};
    return nextIndex++;
  }
  void At(long t, std::function<void()> f) { plan.emplace(t, std::move(f)); }
  void RunPlan() {
    while (!plan.empty() && plan.begin()->first <= clock.now) {
      auto f = std::move(plan.begin()->second);
      plan.erase(plan.begin());
      f();
    }
  }
  std::string Listing() const {
    std::string out = "\r\n";
    for (const auto& [index, s] : store)
      out += "+CMGL: " + std::to_string(index) + "," + std::to_string(s.stat) + ",," +
             std::to_string(TpduLength(s.pdu)) + "\r\n" + s.pdu + "\r\n";
    return out + "\r\nOK\r\n";
  }
  MessageId Accept(const std::string& entry) {
    ClientMessage m;
    m.entry = entry;
    return *AcceptMessage(state, std::move(m));
  }
  std::vector<std::string> Lines() {
    std::vector<std::string> out;
    for (const StateChange& c : state.results.TakeAll()) out.push_back(ResultLine(c));
    return out;
  }
  // Runs the loop until virtual time `ms`, applying the plan as it goes.
  void RunUntil(long ms) {
    clock.onIdle = [this, ms] {
      RunPlan();
      if (clock.now >= ms) state.stopRequested = true;
    };
    worker.Execute();
  }
  // The times of the writes that start with `prefix`.
  std::vector<long> TimesOf(const std::string& prefix) const {
    std::vector<long> out;
    for (const Event& e : log)
      if (e.what.rfind("send:" + prefix, 0) == 0) out.push_back(e.at);
    return out;
  }
  // The events without times, shortened to what the tests follow.
  std::vector<std::string> Story() const {
    std::vector<std::string> out;
    for (const Event& e : log) {
      const std::string& w = e.what;
      if (w.rfind("send:at+cmgs", 0) == 0 || w.rfind("read:", 0) == 0 ||
          w.rfind("idle:", 0) == 0 || w.rfind("sleep:", 0) == 0)
        continue;
      if (w.rfind("send:", 0) == 0 && !w.empty() && w.back() == '\x1a')
        out.push_back("pdu");
      else if (w.rfind("send:", 0) == 0)
        out.push_back(w.substr(5, w.size() - 6));  // without the CR
      else
        out.push_back(w);
    }
    return out;
  }
};

}  // namespace varnix::testing
