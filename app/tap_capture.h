#pragma once
// The tap in the session: two listening ports, A and B, recorded into one capture in the order
// their devices read the bytes. A's bytes are received bytes; B's carry the sent bit (and `S` in
// the times file), so every view, search, save and export shows the two directions as it shows a
// conversation. Nothing here can write to either port.
//
// Each pass (a receive event of either port, a tick) empties both ports' queues into the merger
// and marks both heard up to the pass's start (less a slack for the device's shared marks), so a
// piece is released as soon as the other port is known to hold nothing older. A port that fails
// or vanishes is given up alone: the other keeps recording, the message panel and the time index
// say which one went.
// Main thread only.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "app/capture_store.h"
#include "app/tap.h"

namespace quarlex {

class Session;

// Why nothing can be sent while a tap is on (the send bar's tooltip, a refused send).
inline constexpr const char* TapSendRefused = "A tap only listens: nothing is sent to either port";

class TapCapture {
 public:
  // A read within 0.5 ms of the device's previous mark takes that mark's time, and the time is
  // taken just before the bytes enter the queue: a piece still on its way may carry a time this
  // much before the pass.
  static constexpr int64_t HeardSlackNs = 2'000'000;

  // `clock` must be the session's. `nameA`/`nameB` are the ports' names for messages ("Port 5").
  TapCapture(Session& session, Clock& clock, std::string nameA, std::string nameB,
             int64_t holdBackNs = TapMerger::DefaultHoldBackNs);

  // The port of `side` is open and its queue is `source` (null: closed). A port that comes back
  // after a loss records into the same capture from then on.
  void SetSource(TapSide side, ReceiveSource* source);
  // The port of `side` vanished or failed (already closed by whoever found out): the other side
  // no longer waits for it. Says so once per loss on the message panel and in the time index.
  void Lost(TapSide side);
  bool Open(TapSide side) const { return sides_[Index(side)].source != nullptr; }
  // Either port is recording (the window's port may be away, awaited by Reconnect).
  bool Listening() const { return Open(TapSide::A) || Open(TapSide::B); }
  const std::string& Name(TapSide side) const { return sides_[Index(side)].name; }

  struct PassResult {
    size_t released = 0;      // bytes placed in the capture
    bool leftQueued = false;  // the ring filled: bytes wait in a port's queue or in the merger
  };
  // Takes what both ports have queued and places what may go now. Never throws: a port whose
  // read fails is given up (its source's ReadFailed closes it and reports), the other goes on.
  PassResult Pass();

  const TapMerger& Merger() const { return merger_; }

 private:
  struct Side {
    std::string name;
    ReceiveSource* source = nullptr;
    bool lost = false;
  };
  static size_t Index(TapSide side) { return static_cast<size_t>(side); }
  // Reads what `side` has queued, as far as the ring can take it; true when its queue was emptied.
  bool Take(TapSide side, int64_t nowNs);
  size_t Place(TapSide side, const uint8_t* data, size_t count, int64_t monotonicNs);

  Session& session_;
  Clock& clock_;
  std::array<Side, 2> sides_;
  TapMerger merger_;
  ReceivedChunks chunks_;
};

}  // namespace quarlex
