#pragma once
// The send composer: turns the send box text into bytes by the send mode, adds the line ending,
// records the bytes in the capture as sent, writes them to the port in one call, and keeps the
// nine-slot history that Up and Down recall.
// Main thread only, like the session it belongs to.
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>

#include "app/session.h"
#include "serial/comport.h"

namespace quarlex {

// Where a send goes: the open port. One blocking call per send (also with zero bytes); throws
// the port's error on failure.
class SendPort {
 public:
  virtual ~SendPort() = default;
  virtual void Write(const uint8_t* data, size_t count) = 0;
  // Bytes written but not yet on the line (a file send paces itself by it); 0 when unknown.
  virtual size_t Pending() { return 0; }
  // The line's rate in bits per second, which paces a file send.
  virtual uint32_t Rate() { return 115200; }
};

// The window's port as the composer writes to it. A write that ends early (a write time-out
// while flow control holds the line) is a failure the operator must see, not a silent partial
// send: it throws "WriteFile function failed", which has no OS code to show.
class ComPortSend : public SendPort {
 public:
  explicit ComPortSend(TCustomComPort& port) : port_(port) {}
  void Write(const uint8_t* data, size_t count) override;
  size_t Pending() override;
  uint32_t Rate() override;

 private:
  TCustomComPort& port_;
};

// What the composer needs from the window. Implemented by the Qt controller and by tests.
class SendUi {
 public:
  virtual ~SendUi() = default;
  virtual std::string SendText() = 0;                           // the send box, UTF-8
  virtual void SetSendText(const std::string& utf8) = 0;        // replaces the send box text
  virtual void PlaceSendCaretAtEnd() = 0;                       // caret after the last character
  virtual void SetModeCaption(const std::string& text) = 0;     // BtnModeSend
  virtual void SetLineEndingText(const std::string& text) = 0;  // PanelNpc6
  virtual void OutExchange() = 0;                               // redraw the grid
};

enum class LineEnding : uint8_t { None, NL, CR, CRNL };

constexpr size_t SendPayloadSize = 4096;
constexpr size_t SendBufferSize = SendPayloadSize + 2;  // room for CR NL
// Hex and decimal reading stops once this many values are held.
constexpr size_t SendNotationStop = 4095;
constexpr size_t SendHistorySlots = 9;

// Caption of BtnModeSend for a send mode.
const char* SendModeCaption(InputMode sendMode);
// Text of the line-ending label beside the send box.
const char* LineEndingLabel(LineEnding ending);

// Bytes of one send: `codePageText` read by the mode, then the line ending. Text mode takes at
// most 4,096 bytes; hex and decimal stop at 4,095 values. Returns the count in `buffer`.
size_t ComposeSend(std::string_view codePageText, InputMode sendMode, LineEnding ending,
                   std::span<uint8_t, SendBufferSize> buffer);

class SendComposer {
 public:
  SendComposer(Session& session, SendUi& ui);

  // The open port; null while none is open. A send needs both this and PortConnected.
  SendPort* Port = nullptr;
  // Called when a send's bytes wrapped the ring, so that search rescans the rewritten bytes.
  // The wrap also resets the capture's SearchedUpTo mark to 0, so the tick goes on redrawing.
  std::function<void()> RingWrapped;

  // Enter in the send box and the "Send" button. While not connected nothing is parsed,
  // recorded, written or remembered; the grid is still redrawn. A send that would overwrite
  // unsaved bytes and cannot save them first is refused (Session::MakeRoomForSend): nothing is
  // recorded or written. A failing write propagates after the bytes have been recorded and the
  // view refreshed.
  void Send();
  void BtnModeSendClick();
  // One of the four line-ending menu items was chosen.
  void SetLineEnding(LineEnding ending);
  // Up and Down while the send box has the focus.
  void HistoryUp();
  void HistoryDown();

  LineEnding Ending() const { return ending_; }
  // Slot 1..9; slot 0 does not exist and reads empty.
  const std::string& HistorySlot(uint8_t slot) const { return history_[slot <= SendHistorySlots ? slot : 0]; }
  uint8_t HistoryCount() const { return historyCount_; }
  uint8_t HistoryLast() const { return historyLast_; }
  uint8_t HistoryCursor() const { return historyCursor_; }
  // The bytes of the last send.
  std::span<const uint8_t> LastSend() const { return {sendBuffer_.data(), sendCount_}; }

 private:
  void AddToHistory(const std::string& text);
  void ShowHistorySlot();
  void Refresh();

  Session& session_;
  SendUi& ui_;
  LineEnding ending_ = LineEnding::None;
  std::array<std::string, SendHistorySlots + 1> history_;  // index 0 unused
  uint8_t historyCount_ = 0;
  uint8_t historyLast_ = 0;
  uint8_t historyCursor_ = 0;
  std::array<uint8_t, SendBufferSize> sendBuffer_{};
  uint16_t sendCount_ = 0;
};

}  // namespace quarlex
