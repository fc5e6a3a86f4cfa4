#pragma once
// Session logic of the main window, free of any toolkit: the receive handler, the 100 ms tick,
// the full-ring rollover, the keyboard map and the status-message bookkeeping. The Qt window
// owns one Session and implements SessionUi; tests drive both directly.
// Main thread only.
#include <cstdint>
#include <exception>
#include <string>

#include "app/capture_store.h"

namespace quarlex {

class TapCapture;

// Message panel colours.
constexpr uint32_t SuccessColour = 0x4CAF50;  // RGB(76,175,80)
constexpr uint32_t ErrorColour = 0xC94F4D;    // RGB(201,79,77)

// What the session asks of the window and of the operator tools. Implemented by the Qt shell.
class SessionUi {
 public:
  virtual ~SessionUi() = default;
  virtual void OutExchange() = 0;                          // redraw the grid
  virtual void OutMiniMap() = 0;                           // redraw the minimap
  virtual void SetSpeedText(const std::string& text) = 0;  // PanelSpeed caption
  virtual void ShowMessageText(const std::string& text, uint32_t rgb) = 0;
  virtual void HideMessageText() = 0;
  virtual void Find() = 0;  // search marking pass
  virtual bool AutosaveChecked() = 0;
  // The Save button's action; false when the save failed (the failure has been reported).
  virtual bool SaveClick() = 0;
};

// Where a recording takes the captured bytes (set on the session while Record is on). It is told
// of the time index's entries as they are added (TimeIndexObserver), at ring positions.
class CaptureRecorder : public TimeIndexObserver {
 public:
  ~CaptureRecorder() override = default;
  // Bytes just appended to the capture at ring positions from .. from + count - 1 of `ring` (the
  // capture's buffer, never wrapping), in the order they were captured. They stay there until
  // the ring is cleared, so a recorder that cannot take all of them now takes the rest from the
  // ring later (CatchUp); until then it has Trouble.
  virtual void Record(const uint8_t* ring, uint32_t from, size_t count) = 0;
  // The ring is about to be cleared (rollover, Clear, Open): what is recorded from now on goes to
  // a new file. Bytes of this ring it has not taken yet are still in the ring during the call;
  // what it says of those it could not take (for the message panel), empty when none.
  virtual std::string NextRing() = 0;
  // The tick: takes what waits in the ring, as far as it can.
  virtual void CatchUp() = 0;
  // What is not on disk, for the message panel: bytes the writing failed on, or that wait in
  // the ring; empty while the bytes handed over are written (or only wait their turn). While it
  // is not empty the ring must be kept.
  virtual std::string Trouble() = 0;
};

// How the send box text is read, numbered as the mode button cycles: 1 Hex, 2 Text, 3 Decimal.
enum class InputMode : uint8_t { Hex = 1, Text = 2, Decimal = 3 };

enum class Key { F2, F3, Escape, F, O, S, Up, Down, Other };
struct KeyModifiers {
  bool ctrl = false;
  bool shift = false;
  bool alt = false;
};
enum class KeyAction {
  None,
  FindPrevious,
  FindNext,
  FindClose,
  FindToggle,
  Open,
  Save,
  HistoryUp,
  HistoryDown
};

// Line events counted since the port was last connected.
struct LineEventCounts {
  uint32_t Overrun = 0;
  uint32_t QueueOverflow = 0;
  uint32_t Framing = 0;
  uint32_t Parity = 0;
  uint32_t Break = 0;
  uint32_t ModemLine = 0;  // CTS, DSR and DCD changes and rings
  bool operator==(const LineEventCounts&) const = default;
};
// "Line events: 2 framing errors, 1 break" ("Line events: none"), for the port button's tooltip.
std::string LineEventCountsText(const LineEventCounts& counts);

class Session {
 public:
  // `clock` times the capture's batches and line events.
  explicit Session(SessionUi& ui, Clock& clock = SystemClock()) : ui_(ui), clock_(clock) {}

  CaptureStore Store;

  // Session state owned by the window.
  uint8_t SpeedTicks = 0;
  uint8_t MessageShown = 0;
  uint8_t MessageTicks = 0;
  bool PortConnected = false;  // the operator has the port connected: receiving and sending work only then
  InputMode SendMode = InputMode::Hex;
  std::string ExeFolder;  // where captures are saved, ending in a separator
  // ExeFolder is the per-user folder because the program's own folder cannot be written: each
  // save's message then says where the file went.
  bool ExeFolderIsFallback = false;
  // A full ring whose autosave failed, and nothing else: the rollover then waits (the bytes that
  // arrive stay in the port's queue) until the ring has been saved by a retry or by the
  // operator, or cleared (Clear, Open). The message panel says so until then, and the tick
  // retries the autosave quietly every AutosaveRetryTicks while Autosave stays checked.
  uint8_t RolloverBlocked = 0;
  static constexpr uint8_t AutosaveRetryTicks = 50;  // about 5 s
  // Why the last save failed (an OS error text); empty before the first failure.
  std::string LastSaveError;

  // A receive event ran since the tick last drew: the capture grew, or the view followed it.
  uint8_t ReceivedSinceDraw = 0;

  // The recording of the capture while Record is on (SetRecorder); null otherwise. With a recorder a full
  // ring rolls over without a save (its bytes are in the recording) unless the recording fails: the ring then
  // stays until the recording has written it, as after a failed autosave.
  CaptureRecorder* Recorder = nullptr;

  // Bytes were just appended to the capture at ring position `from` (wrapping at the end of the
  // ring): hands them to the recorder.
  void Captured(uint32_t from, size_t count);
  // Record turned on (a recorder) or off (null).
  void SetRecorder(CaptureRecorder* recorder);

  // The open port's input queue; null while no port is open.
  ReceiveSource* Port = nullptr;
  // While a tap is on: both of its ports' receive events, and each tick, take their bytes
  // through it instead of from Port.
  TapCapture* Tap = nullptr;

  // The port's receive event: Count bytes are queued. Reads them in passes of at most
  // ReceiveStaging's size and appends them, each piece with the time the device read it from the
  // line; bytes that would overwrite a full ring stay queued until the rollover. Exceptions from
  // the read propagate to the caller (the port's thread).
  void ComPortRxChar(size_t count);

  // A port is about to open: arrival times are anchored to the wall clock anew, line events and
  // modem-line states start anew.
  void Connected();
  // A lost device was opened again: its modem lines' states are learnt anew; the arrival times,
  // the line-event counts and the capture go on.
  void Reopened() { modemKnown_ = 0; }
  // Records events of this side of the line (the device lost, back) at the write position,
  // without counting or showing them.
  void RecordLineEvents(LineEvents events);
  // The clock the session times with (a tap's passes read the same one).
  Clock& TimeSource() { return clock_; }
  // Now, as the time index records it: the wall clock at connect plus the monotonic time since.
  int64_t ArrivalTimeNs();
  // A reading of the clock's monotonic time (such as when the device read a piece of the bytes),
  // as the time index records it.
  int64_t ArrivalTimeOf(int64_t monotonicNs);
  // `count` bytes were just appended as sent from ring position `from` on (wrapping at the end
  // of the ring as AppendSent does): records them in the time index.
  void RecordSent(uint32_t from, size_t count);
  // The port reported line events: counted, recorded at the write position, shown briefly on the
  // message panel. A modem line's report counts only when it changes the line's known state.
  // True when anything was counted.
  bool LineEventsReported(LineEvents events);
  const LineEventCounts& LineCounts() const { return lineCounts_; }

  // The 100 ms tick.
  void TimerMainTimer();

  // Empties the store, re-runs an open search and redraws.
  void ClearFull();

  // The files tool could not save; `reason` says why.
  void SaveFailed(const std::string& reason);

  // Shows a status message; `ticks` is 0 for about 3.2 s, 20 for about 1.2 s.
  void ShowMessage(const std::string& text, uint32_t rgb, uint8_t ticks);

  // Window-level keyboard map, seen before the focused control.
  KeyAction MapKey(Key key, KeyModifiers mods, bool sendBoxFocused) const;

  // Takes what is waiting in the port's queue while the ring has room. A failing read closes the
  // port through ReceiveSource::ReadFailed and clears PortConnected at once (the report follows
  // from the owner's loop); the capture keeps what it holds.
  void DrainQueued();

  // The rollover of a full ring: save it when Autosave is on and it holds unsaved bytes, then
  // clear and take what waited in the port's queue. Unsaved bytes cleared without Autosave are
  // said on the message panel ("Capture full: 32 MiB cleared, not saved"). False when the ring
  // stays as it is: its autosave failed (the rollover is then blocked), or it is blocked and
  // Autosave was unchecked since (only the operator may then discard it, with Clear or Open).
  bool RollOver();

  // Before `count` sent bytes are appended. A full ring is rolled over first; with Autosave on, a
  // ring too full to take them, or one they would end at its last slot (the write position would
  // wrap to 0 without a full ring), is saved and cleared first, so a send never overwrites bytes
  // that were not saved. False when that could not be done: the send must then record and write
  // nothing; the message panel says why. Without Autosave a send that does not fit wraps the
  // ring (nothing is saved without Autosave).
  bool MakeRoomForSend(size_t count);

 private:
  // Bytes waiting in the port's queue; 0 without a port, or when asking failed (reported).
  size_t QueuedBytes();
  void TapPass();
  void PortFailed(std::exception_ptr error);
  // The recorder holds every byte of the ring.
  bool RecordsRing() const;
  // The recording fails and holds bytes not on disk (LastSaveError then says what).
  bool RecordingKeepsRing();

  SessionUi& ui_;
  Clock& clock_;
  bool anchored_ = false;
  int64_t monoAtConnect_ = 0;
  int64_t wallAtConnect_ = 0;
  LineEventCounts lineCounts_;
  LineEvents modemKnown_ = 0;  // Cts, Dsr, Dcd: lines whose state is known since connecting
  LineEvents modemState_ = 0;  // CtsOn, DsrOn, DcdOn
  uint8_t retryTicks_ = 0;
  std::string recordTrouble_;
  bool ringRecorded_ = false;  // the recorder was set before the ring's first byte  // last Trouble() shown
                               // on the message panel
  // A receive event found the ring full and left bytes in the port's queue; no new event may
  // come for them (a peer that waits for the line), so the session takes them itself.
  bool bytesLeftQueued_ = false;
  ReceivedChunks chunks_;  // of the last read; kept, so a steady stream allocates nothing
};

}  // namespace quarlex
