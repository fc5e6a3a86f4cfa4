#include "tools/send_composer.h"

#include "text/code_page.h"
#include "tools/byte_notation.h"

namespace quarlex {

const char* SendModeCaption(InputMode sendMode) {
  switch (sendMode) {
    case InputMode::Text:
      return "Text";
    case InputMode::Decimal:
      return "Decimal";
    case InputMode::Hex:
      break;
  }
  return "Hex";
}

const char* LineEndingLabel(LineEnding ending) {
  switch (ending) {
    case LineEnding::NL:
      return " +NL  ";
    case LineEnding::CR:
      return " +CR  ";
    case LineEnding::CRNL:
      return " +CR NL  ";
    case LineEnding::None:
      break;
  }
  return "  ";
}

size_t ComposeSend(std::string_view codePageText, InputMode sendMode, LineEnding ending,
                   std::span<uint8_t, SendBufferSize> buffer) {
  size_t n = 0;
  switch (sendMode) {
    case InputMode::Text:
      // Text may convert to more bytes than the box had characters; the payload never grows
      // past its 4,096 bytes, so the line ending always fits behind it.
      n = ReadTextNotation(codePageText, buffer.first(SendPayloadSize));
      break;
    case InputMode::Decimal:
      n = ReadDecimalNotation(codePageText, buffer.first(SendNotationStop));
      break;
    default:
      n = ReadHexNotation(codePageText, buffer.first(SendNotationStop));
      break;
  }
  if (ending == LineEnding::CR || ending == LineEnding::CRNL) buffer[n++] = 0x0D;
  if (ending == LineEnding::NL || ending == LineEnding::CRNL) buffer[n++] = 0x0A;
  return n;
}

size_t ComPortSend::Pending() {
  if (!port_.Connected()) return 0;
  const int32_t n = port_.OutputCount();
  return n > 0 ? static_cast<size_t>(n) : 0;
}

uint32_t ComPortSend::Rate() {
  // The rate the device runs at, which may be one it rounded to.
  device::Dcb dcb;
  if (port_.Handle() && !port_.Handle()->GetState(dcb) && dcb.BaudRate > 0) return dcb.BaudRate;
  return port_.BaudRate() == brCustom ? static_cast<uint32_t>(port_.CustomBaudRate())
                                      : BaudRateValues[port_.BaudRate()];
}

SendComposer::SendComposer(Session& session, SendUi& ui) : session_(session), ui_(ui) {}

void ComPortSend::Write(const uint8_t* data, size_t count) {
  if (port_.Write(data, static_cast<int32_t>(count)) != static_cast<int32_t>(count)) {
    throw EComPort::CreateNoWinCode(TComExceptions::CE_WriteFailed);
  }
}

void SendComposer::Send() {
  if (!session_.PortConnected || Port == nullptr) {
    Refresh();
    return;
  }
  const std::string text = ui_.SendText();
  AddToHistory(text);
  sendCount_ = static_cast<uint16_t>(
      ComposeSend(CodePageFromUtf8(text), session_.SendMode, ending_, std::span(sendBuffer_)));

  CaptureStore& store = session_.Store;
  // Nothing is recorded or written when the ring could not be made safe to take the bytes (the
  // message panel says why), nor when taking the queued bytes found the port failed.
  if (!session_.MakeRoomForSend(sendCount_) || !session_.PortConnected) {
    Refresh();
    return;
  }
  const uint32_t before = store.WriteIndex();
  for (size_t i = 0; i < sendCount_; ++i) store.AppendSent(sendBuffer_[i]);
  session_.RecordSent(before, sendCount_);
  if (store.WriteIndex() < before) {
    // The ring went on from index 0 without a clear. The tick redraws (and searches) only while
    // the capture reaches past the last search pass; left at the old end, that mark would hold
    // back every redraw of newly received bytes until a whole ring had arrived again.
    store.SearchedUpTo = 0;
    if (RingWrapped) RingWrapped();
  }

  try {
    Port->Write(sendBuffer_.data(), sendCount_);
  } catch (...) {
    // The bytes are in the capture already; show them now rather than with some later redraw,
    // then let the port's error reach the operator.
    Refresh();
    throw;
  }
  Refresh();
}

void SendComposer::Refresh() {
  session_.Store.ScrollUpdate();
  ui_.OutExchange();
}

void SendComposer::AddToHistory(const std::string& text) {
  if (text.empty()) return;
  for (size_t slot = 1; slot <= SendHistorySlots; ++slot) {
    if (history_[slot] == text) return;
  }
  if (historyLast_ == SendHistorySlots) historyLast_ = 0;
  ++historyLast_;
  ++historyCount_;
  if (historyCount_ == SendHistorySlots + 1) historyCount_ = SendHistorySlots;
  history_[historyLast_] = text;
}

void SendComposer::BtnModeSendClick() {
  InputMode& mode = session_.SendMode;
  mode = mode == InputMode::Hex    ? InputMode::Text
         : mode == InputMode::Text ? InputMode::Decimal
                                   : InputMode::Hex;
  ui_.SetModeCaption(SendModeCaption(mode));
}

void SendComposer::SetLineEnding(LineEnding ending) {
  ending_ = ending;
  ui_.SetLineEndingText(LineEndingLabel(ending));
}

void SendComposer::HistoryUp() {
  if (historyCursor_ >= 1) --historyCursor_;
  if (historyCursor_ == 0) historyCursor_ = historyCount_;
  ShowHistorySlot();
}

void SendComposer::HistoryDown() {
  if (historyCursor_ == historyCount_) {
    historyCursor_ = 1;
  } else {
    ++historyCursor_;  // 8-bit: wraps after 255
  }
  ShowHistorySlot();
}

void SendComposer::ShowHistorySlot() {
  // The cursor walks slot numbers, so an empty slot empties the box; a cursor past slot 9
  // leaves the text alone.
  if (historyCursor_ >= 1 && historyCursor_ <= SendHistorySlots) ui_.SetSendText(history_[historyCursor_]);
  ui_.PlaceSendCaretAtEnd();
}

}  // namespace quarlex
