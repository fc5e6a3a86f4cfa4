#include "app/session.h"

#include <algorithm>

namespace quarlex {

void Session::ComPortRxChar(size_t count) {
  if (!PortConnected || Port == nullptr) {
    // A late event after disconnect still counts towards the speed figure, but reads nothing.
    Store.RxBytesSinceTick += static_cast<uint32_t>(count);
    Store.ScrollUpdate();
    return;
  }
  size_t remaining = count;
  while (remaining > 0) {
    const size_t n = std::min({remaining, ReceiveStagingSize, Store.ReceiveRoom()});
    if (n == 0) break;  // ring full: the rest waits in the port's queue for the rollover
    Port->ReadQueued(Store.ReceiveStaging.get(), n);
    Store.AppendReceived(Store.ReceiveStaging.get(), n);
    Store.RxBytesSinceTick += static_cast<uint32_t>(n);
    remaining -= n;
  }
  Store.ScrollUpdate();
}

void Session::TimerMainTimer() {
  if (SpeedTicks > 10) {
    ui_.SetSpeedText(std::to_string(Store.RxBytesSinceTick) + " Bps");
    Store.RxBytesSinceTick = 0;
    SpeedTicks = 0;
  }
  if (MessageTicks > 30 && MessageShown) {
    ui_.HideMessageText();
    MessageShown = 0;
    MessageTicks = 0;
  }
  ++SpeedTicks;
  ++MessageTicks;

  if (Store.SearchedUpTo < Store.WriteIndex) {
    if (Store.SearchOpen) ui_.Find();
    ui_.OutExchange();
    ui_.OutMiniMap();
  }

  if (Store.CaptureFull && !RolloverBlocked) RollOver();
}

bool Session::RollOver() {
  if (ui_.AutosaveChecked() && !ui_.SaveClick()) {
    RolloverBlocked = 1;
    return false;
  }
  ClearFull();
  DrainQueued();
  return true;
}

void Session::MakeRoomForSend(size_t count) {
  if (RolloverBlocked) return;
  if (Store.CaptureFull) {
    RollOver();
  } else if (size_t{Store.WriteIndex} + count > CaptureSize && ui_.AutosaveChecked()) {
    RollOver();
  }
}

void Session::ClearFull() {
  Store.ClearStorage();
  RolloverBlocked = 0;
  if (Store.SearchOpen) {
    Store.SearchHitState = 0;
    Store.SearchHitNumber = 0;
    ui_.Find();
  }
  ui_.OutExchange();
  ui_.OutMiniMap();
}

void Session::OperatorSaved() {
  if (Store.CaptureFull && RolloverBlocked) {
    ClearFull();
    DrainQueued();
  }
}

void Session::DrainQueued() {
  if (!PortConnected || Port == nullptr) return;
  const size_t queued = Port->QueuedCount();
  if (queued > 0) ComPortRxChar(queued);
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
