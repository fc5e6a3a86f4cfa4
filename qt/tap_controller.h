#pragma once
// Tap mode on the status bar: the port button's context menu ("Tap with…" the other ports, "Tap
// off"), the second port B that opens and closes with the window's port A and only listens, the
// send bar that a tap disables, and what the message panel says when B is refused or goes.
// Main thread only.
#include <QMenu>
#include <QObject>
#include <exception>
#include <functional>
#include <memory>
#include <string>

#include "app/connection.h"
#include "app/tap_capture.h"
#include "qt/window_widgets.h"
#include "serial/comport.h"

namespace quarlex {

class PortController;

class TapController : public QObject, public TComOwner {
  Q_OBJECT
 public:
  TapController(Session& session, PortController& port, const StatusWidgets& status, const SendWidgets& send);
  ~TapController() override;

  TComPort PortB;

  // Port B's number while a tap is chosen, else 0.
  unsigned Chosen() const { return chosen_; }
  // "Tap with…" (and --tap): B is `number`, 0 for "Tap off". Only while the window's port is
  // closed (the port button's menu is not reachable otherwise); B opens with it.
  void Choose(unsigned number);
  // " + Port 7" after the port button's caption while a tap is chosen, else "".
  std::string CaptionSuffix() const;
  // The window's port opened or closed (connect button, a failure, a scan): B follows it; a
  // scan also reopens a B that vanished, when Reconnect is on.
  void Follow(bool connected);
  bool Tapping() const { return capture_ != nullptr; }
  QMenu* Menu() const { return menu_; }

  // TComOwner, for B: a failure of B gives B up and leaves A recording.
  void Post(std::function<void()> call) override;
  void HandleException(std::exception_ptr error) override;

 private:
  void Open();
  void Close();
  void FillMenu();
  void ShowSendBar(bool enabled);

  Session& session_;
  PortController& port_;
  const StatusWidgets status_;
  const SendWidgets send_;
  QMenu* menu_;
  unsigned chosen_ = 0;
  bool aLost_ = false;  // the window's port vanished and Reconnect waits for it; B records on
  bool bLost_ = false;  // B vanished while tapping; Reconnect reopens it at a scan
  std::unique_ptr<ComPortQueue> queueA_, queueB_;
  std::unique_ptr<TapCapture> capture_;
  QString sendTip_, editTip_;
};

}  // namespace quarlex
