#include "app/session.h"

#include <algorithm>
#include <optional>

#include "app/tap_capture.h"

namespace quarlex {

namespace {
// The scroll bar on screen takes the receive path's changes at the next tick.
void ScrollUpdateForReceive(CaptureStore& store) {
  store.View.ScrollBarExch().HoldMirror(true);
  store.ScrollUpdate();
  store.View.ScrollBarExch().HoldMirror(false);
}

// Gathers the timed pieces of one receive event into entries of the time index: neighbouring
// pieces of one time (a piece that a staging pass cut in two, or bytes whose source gave no
// time) make one entry.
class ReceivedBatches {
 public:
  explicit ReceivedBatches(TimeIndex& times) : times_(times) {}
  ~ReceivedBatches() { Flush(); }
  void Add(uint32_t from, size_t count, int64_t timeNs) {
    if (count == 0) return;
    if (count_ > 0 && timeNs == timeNs_ && from == from_ + count_) {
      count_ += static_cast<uint32_t>(count);
      return;
    }
    Flush();
    from_ = from;
    count_ = static_cast<uint32_t>(count);
    timeNs_ = timeNs;
  }
  void Flush() {
    if (count_ > 0) times_.AddBatch(from_, count_, Direction::Received, timeNs_);
    count_ = 0;
  }

 private:
  TimeIndex& times_;
  uint32_t from_ = 0;
  uint32_t count_ = 0;
  int64_t timeNs_ = 0;
};
}  // namespace

void Session::ComPortRxChar(size_t count) {
  ReceivedSinceDraw = 1;
  if (Tap != nullptr && (PortConnected || Tap->Listening())) {
    // A tap takes what both ports have queued, whichever of them raised the event.
    TapPass();
    return;
  }
  if (!PortConnected || Port == nullptr) {
    // A late event after disconnect still counts towards the speed figure, but reads nothing.
    Store.RxBytesSinceTick += static_cast<uint32_t>(count);
    ScrollUpdateForReceive(Store);
    return;
  }
  // Each piece is timed when the device read it from the line (the time came with the bytes);
  // bytes of a source that gives no time count as arriving now, one clock read per event.
  ReceivedBatches batches(Store.Times);
  std::optional<int64_t> untimed;
  size_t remaining = count;
  // What the passes appended is captured, also when a later pass fails: it keeps its time and
  // its place in the scroll range before the failure goes on to the caller.
  try {
    while (remaining > 0) {
      const size_t n = std::min({remaining, ReceiveStagingSize, Store.ReceiveRoom()});
      if (n == 0) break;  // ring full: the rest waits in the port's queue for the rollover
      Port->ReadQueued(Store.ReceiveStaging.get(), n, chunks_);
      const uint32_t from = Store.WriteIndex();
      Store.AppendReceived(Store.ReceiveStaging.get(), n);
      Captured(from, n);
      Store.RxBytesSinceTick += static_cast<uint32_t>(n);
      remaining -= n;
      const size_t timedFrom = chunks_.empty() ? n : std::min(chunks_.front().Offset, n);
      if (timedFrom > 0) {
        if (!untimed) untimed = ArrivalTimeNs();
        batches.Add(from, timedFrom, *untimed);
      }
      for (size_t i = 0; i < chunks_.size(); ++i) {
        const size_t begin = std::min(chunks_[i].Offset, n);
        const size_t end = i + 1 < chunks_.size() ? std::min(chunks_[i + 1].Offset, n) : n;
        if (end > begin)
          batches.Add(from + static_cast<uint32_t>(begin), end - begin,
                      ArrivalTimeOf(chunks_[i].MonotonicNs));
      }
    }
  } catch (...) {
    batches.Flush();
    ScrollUpdateForReceive(Store);
    throw;
  }
  batches.Flush();
  if (remaining > 0) bytesLeftQueued_ = true;
  ScrollUpdateForReceive(Store);
}

void Session::TapPass() {
  const TapCapture::PassResult pass = Tap->Pass();
  if (pass.leftQueued) bytesLeftQueued_ = true;
  if (pass.released > 0) ReceivedSinceDraw = 1;
  ScrollUpdateForReceive(Store);
}

void Session::Connected() {
  monoAtConnect_ = clock_.MonotonicNs();
  wallAtConnect_ = clock_.WallNs();
  anchored_ = true;
  lineCounts_ = {};
  modemKnown_ = 0;
}

int64_t Session::ArrivalTimeNs() {
  return ArrivalTimeOf(clock_.MonotonicNs());
}

int64_t Session::ArrivalTimeOf(int64_t monotonicNs) {
  if (!anchored_) Connected();
  return wallAtConnect_ + (monotonicNs - monoAtConnect_);
}

void Session::RecordSent(uint32_t from, size_t count) {
  if (count == 0 || from >= CaptureSize) return;
  Captured(from, count);
  const int64_t now = ArrivalTimeNs();
  const size_t first = std::min<size_t>(count, CaptureSize - from);
  Store.Times.AddBatch(from, static_cast<uint32_t>(first), Direction::Sent, now);
  // A send never fills more than what is left of the ring after it wrapped once.
  if (count > first) Store.Times.AddBatch(0, static_cast<uint32_t>(count - first), Direction::Sent, now);
}

void Session::Captured(uint32_t from, size_t count) {
  if (Recorder == nullptr || count == 0 || from >= CaptureSize) return;
  const size_t first = std::min<size_t>(count, CaptureSize - from);
  Recorder->Record(Store.CaptureBuffer, from, first);
  if (count > first) Recorder->Record(Store.CaptureBuffer, 0, count - first);
}

void Session::SetRecorder(CaptureRecorder* recorder) {
  Recorder = recorder;
  Store.Times.Observe(recorder);
  // A ring that already holds bytes is not in the recording before them: its rollover saves
  // it the usual way (Autosave), and the next ring is recorded whole.
  ringRecorded_ = recorder != nullptr && Store.WriteIndex() == 0 && !Store.CaptureFull();
  recordTrouble_.clear();
}

void Session::RecordLineEvents(LineEvents events) {
  events &= AllLineEventBits;
  if (events != 0) Store.Times.AddEvents(Store.WriteIndex(), events, ArrivalTimeNs());
}

bool Session::LineEventsReported(LineEvents events) {
  events &= AllLineEventBits;
  // A modem line is reported with its state: the first report after connecting (the port tells
  // every line's state as it opens) and one that repeats the known state are no change.
  struct ModemLine {
    LineEvent line, on;
  };
  for (const ModemLine m :
       {ModemLine{LineEvent::Cts, LineEvent::CtsOn}, ModemLine{LineEvent::Dsr, LineEvent::DsrOn},
        ModemLine{LineEvent::Dcd, LineEvent::DcdOn}}) {
    if (!Has(events, m.line)) {
      events &= static_cast<LineEvents>(~Bits(m.on));
      continue;
    }
    const LineEvents state = events & Bits(m.on);
    const bool news = Has(modemKnown_, m.line) && (modemState_ & Bits(m.on)) != state;
    modemKnown_ = modemKnown_ | m.line;
    modemState_ = static_cast<LineEvents>((modemState_ & ~Bits(m.on)) | state);
    if (!news) events &= static_cast<LineEvents>(~(Bits(m.line) | Bits(m.on)));
  }
  if (events == 0) return false;
  LineEventCounts& c = lineCounts_;
  c.Overrun += Has(events, LineEvent::Overrun);
  c.QueueOverflow += Has(events, LineEvent::QueueOverflow);
  c.Framing += Has(events, LineEvent::Framing);
  c.Parity += Has(events, LineEvent::Parity);
  c.Break += Has(events, LineEvent::Break);
  c.ModemLine += Has(events, LineEvent::Cts) + Has(events, LineEvent::Dsr) + Has(events, LineEvent::Dcd) +
                 Has(events, LineEvent::Ring);
  Store.Times.AddEvents(Store.WriteIndex(), events, ArrivalTimeNs());
  // Errors stay up as long as any failure message; a modem line's change is news, not trouble.
  // A panel that says the ring waits for a save keeps saying that.
  if (RolloverBlocked) return true;
  if (events & LineTroubleBits) {
    ShowMessage("Line: " + LineEventText(events), ErrorColour, 0);
  } else {
    ShowMessage("Line: " + LineEventText(events), SuccessColour, 20);
  }
  return true;
}

std::string LineEventCountsText(const LineEventCounts& c) {
  std::string text;
  auto add = [&text](uint32_t n, const char* one, const char* many) {
    if (n == 0) return;
    if (!text.empty()) text += ", ";
    text += std::to_string(n) + " " + (n == 1 ? one : many);
  };
  add(c.Overrun, "overrun", "overruns");
  add(c.QueueOverflow, "input queue overflow", "input queue overflows");
  add(c.Framing, "framing error", "framing errors");
  add(c.Parity, "parity error", "parity errors");
  add(c.Break, "break", "breaks");
  add(c.ModemLine, "modem-line change", "modem-line changes");
  return "Line events: " + (text.empty() ? std::string("none") : text);
}

namespace {
std::string BlockedText(const std::string& reason) {
  return reason.empty() ? "Capture full, not saved" : "Capture full, not saved: " + reason;
}
}  // namespace

void Session::TimerMainTimer() {
  if (SpeedTicks > 10) {
    ui_.SetSpeedText(std::to_string(Store.RxBytesSinceTick) + " Bps");
    Store.RxBytesSinceTick = 0;
    SpeedTicks = 0;
  }
  if (MessageTicks > 30 && MessageShown) {
    if (RolloverBlocked) {
      // Reception waits for the operator: the panel keeps saying so, also after another
      // message had its time.
      ShowMessage(BlockedText(LastSaveError), ErrorColour, 0);
    } else {
      ui_.HideMessageText();
      MessageShown = 0;
      MessageTicks = 0;
    }
  }
  ++SpeedTicks;
  ++MessageTicks;
  if (Recorder != nullptr) {
    Recorder->CatchUp();
    // Bytes the recording could not write are said once as the trouble starts or changes, and
    // once more when they are on disk after all.
    std::string trouble = Recorder->Trouble();
    if (trouble != recordTrouble_ && !RolloverBlocked) {
      if (!trouble.empty()) {
        ShowMessage(trouble, ErrorColour, 0);
      } else {
        ShowMessage("Recording: all on disk", SuccessColour, 20);
      }
    }
    recordTrouble_ = std::move(trouble);
  }
  // Pieces that waited for word of the other port go now.
  if (Tap != nullptr && (PortConnected || Tap->Listening()) && !Store.CaptureFull()) TapPass();

  Store.View.ScrollBarExch().FlushMirror();
  // A frame only when something changed: with the find panel open, bytes not searched yet; with
  // it closed, a receive event since the last frame (every other change draws at once itself).
  if (Store.SearchedUpTo < Store.WriteIndex() && (Store.SearchOpen || ReceivedSinceDraw)) {
    ReceivedSinceDraw = 0;
    if (Store.SearchOpen) ui_.Find();
    ui_.OutExchange();
    ui_.OutMiniMap();
  }

  if (!Store.CaptureFull()) {
    // Bytes a full ring left queued wait for no further receive event once the ring has room
    // again (after Clear or Open): take them now.
    if (bytesLeftQueued_) DrainQueued();
    return;
  }
  if (RolloverBlocked && RecordsRing()) {
    // The ring waits for the recording to catch up; it is tried each tick (asking is cheap).
    RollOver();
    return;
  }
  if (RolloverBlocked) {
    const bool savedSince = Store.SavedUpTo() >= Store.WriteIndex();  // the operator saved the ring
    if (!savedSince) {
      if (!ui_.AutosaveChecked() || ++retryTicks_ < AutosaveRetryTicks) return;
      retryTicks_ = 0;
    }
    RollOver();
    return;
  }
  // A ring loaded from a file is not rolled over for its own sake, only to make room.
  if (Store.FullRingLoaded && !bytesLeftQueued_) return;
  RollOver();
}

bool Session::RecordsRing() const {
  return Recorder != nullptr && ringRecorded_;
}

bool Session::RecordingKeepsRing() {
  const std::string trouble = Recorder->Trouble();
  if (trouble.empty()) return false;
  LastSaveError = trouble;
  return true;
}

bool Session::RollOver() {
  if (RecordsRing()) {
    // Every byte of the ring was handed to the recording: no save is needed, unless the
    // recording fails and holds bytes that are not on disk. Then the ring keeps them.
    if (RecordingKeepsRing()) {
      if (!RolloverBlocked) ShowMessage(BlockedText(LastSaveError), ErrorColour, 0);
      RolloverBlocked = 1;
      return false;
    }
    ClearFull();
    DrainQueued();
    return true;
  }
  bool discarded = false;
  if (Store.SavedUpTo() < Store.WriteIndex()) {
    discarded = !ui_.AutosaveChecked();
    if (discarded) {
      // Without Autosave a full ring is discarded, but not one whose autosave failed: the
      // operator was told it waits, and only Clear or Open may throw it away.
      if (RolloverBlocked) return false;
    } else if (!ui_.SaveClick()) {
      RolloverBlocked = 1;
      retryTicks_ = 0;
      ShowMessage(BlockedText(LastSaveError), ErrorColour, 0);
      return false;
    }
  }
  ClearFull();
  // Bytes nobody saved are gone: the operator should know, and that Autosave would keep them.
  if (discarded)
    ShowMessage("Capture full: " + std::to_string(CaptureSize >> 20) + " MiB cleared, not saved", ErrorColour,
                0);
  DrainQueued();
  return true;
}

bool Session::MakeRoomForSend(size_t count) {
  if (Tap != nullptr) {
    ShowMessage(TapSendRefused, ErrorColour, 20);
    return false;
  }
  bool ok = true;
  if (Store.CaptureFull()) {
    ok = RollOver();
  } else if (size_t{Store.WriteIndex()} + count >= CaptureSize && RecordsRing()) {
    // The same with a recording: the ring starts anew (and so does the recording's file)
    // unless the recording fails and the ring holds what is not on disk.
    ok = !RecordingKeepsRing();
    if (ok) {
      ClearFull();
      DrainQueued();
    }
  } else if (size_t{Store.WriteIndex()} + count >= CaptureSize && ui_.AutosaveChecked()) {
    // The send would wrap the write position, also one that ends on the last slot (a send never
    // fills the ring): the ring would go on over bytes not saved yet. Save first, and only a
    // ring that is safe on disk is cleared. A failure here blocks nothing: the ring is not full.
    ok = Store.SavedUpTo() >= Store.WriteIndex() || ui_.SaveClick();
    if (ok) {
      ClearFull();
      DrainQueued();
    }
  }
  if (!ok) {
    ShowMessage(LastSaveError.empty() ? "Not sent: capture not saved"
                                      : "Not sent, capture not saved: " + LastSaveError,
                ErrorColour, 0);
  }
  return ok;
}

void Session::ClearFull() {
  // The recording leaves its file with the ring; the bytes are still there while it does.
  const std::string lost = Recorder != nullptr ? Recorder->NextRing() : std::string();
  Store.ClearStorage();
  RolloverBlocked = 0;
  // From an empty ring on the recording holds every byte of it.
  ringRecorded_ = Recorder != nullptr;
  retryTicks_ = 0;
  if (Store.SearchOpen) {
    Store.SearchHitState = CurrentMatch::NotChosen;
    Store.SearchHitNumber = 0;
    ui_.Find();
  }
  ui_.OutExchange();
  ui_.OutMiniMap();
  if (!lost.empty()) ShowMessage(lost, ErrorColour, 0);
}

void Session::SaveFailed(const std::string& reason) {
  LastSaveError = reason;
}

size_t Session::QueuedBytes() {
  if (!PortConnected || Port == nullptr) return 0;
  try {
    return Port->QueuedCount();
  } catch (...) {
    PortFailed(std::current_exception());
    return 0;
  }
}

void Session::DrainQueued() {
  if (Store.CaptureFull()) return;
  bytesLeftQueued_ = false;
  if (Tap != nullptr) {
    if (PortConnected || Tap->Listening()) TapPass();
    return;
  }
  const size_t queued = QueuedBytes();
  if (queued == 0) return;
  try {
    ComPortRxChar(queued);
  } catch (...) {
    // Called from the tick (or a send): no caller above could report it, and an exception
    // leaving the tick would end the program.
    PortFailed(std::current_exception());
  }
}

void Session::PortFailed(std::exception_ptr error) {
  ReceiveSource* port = Port;
  if (port != nullptr) port->ReadFailed(error);
  // The port is closed now; its report reaches the operator later. Until then nothing may go
  // on as if it were open: a send under way must not record bytes that cannot be written.
  PortConnected = false;
}

void Session::ShowMessage(const std::string& text, uint32_t rgb, uint8_t ticks) {
  ui_.ShowMessageText(text, rgb);
  MessageShown = 1;
  MessageTicks = ticks;
}

KeyAction Session::MapKey(Key key, KeyModifiers mods, bool sendBoxFocused) const {
  if (Store.SearchOpen) {
    if (key == Key::F2) return KeyAction::FindPrevious;
    if (key == Key::F3) return KeyAction::FindNext;
    if (key == Key::Escape) return KeyAction::FindClose;
  }
  const bool onlyCtrl = mods.ctrl && !mods.shift && !mods.alt;
  if (onlyCtrl) {
    if (key == Key::F) return KeyAction::FindToggle;
    if (key == Key::O) return KeyAction::Open;
    if (key == Key::S) return KeyAction::Save;
  }
  if (sendBoxFocused) {
    if (key == Key::Up) return KeyAction::HistoryUp;
    if (key == Key::Down) return KeyAction::HistoryDown;
  }
  return KeyAction::None;
}

}  // namespace quarlex
