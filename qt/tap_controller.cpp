#include "qt/tap_controller.h"

#include <QMetaObject>

#include "ports/port_name.h"
#include "qt/port_controller.h"
#include "serial/device/device.h"

namespace quarlex {

namespace {
std::string PortLabel(unsigned number) {
  return "Port " + std::to_string(number);
}
}  // namespace

TapController::TapController(Session& session, PortController& port, const StatusWidgets& status,
                             const SendWidgets& send)
    : PortB(this),
      session_(session),
      port_(port),
      status_(status),
      send_(send),
      menu_(new QMenu(status.BtnCom)) {
  PortB.SetName("TapPort");
  PortB.Buffer().SetInputSize(65536);
  PortB.SetPortPathResolver([this](const std::string& name) -> std::string {
    const std::string path = port_.DevicePathOf(ComPortNumber(name));
    return path.empty() ? name : path;
  });
  // Whichever port raised it, the pass takes both ports' queues.
  PortB.OnRxChar = [this](TCustomComPort*, int32_t count) {
    if (count > 0) session_.ComPortRxChar(static_cast<size_t>(count));
  };
  connect(status_.BtnCom, &ClickLabel::rightClicked, this, [this](QPoint at) {
    if (!status_.BtnCom->isEnabled()) return;
    FillMenu();
    menu_->popup(at);
  });
}

TapController::~TapController() {
  Close();
}

void TapController::FillMenu() {
  menu_->clear();
  QMenu* with = menu_->addMenu("Tap with…");
  const unsigned a = port_.SelectedPort();
  for (const unsigned n : port_.PortNumbers()) {
    if (n == a) continue;
    QAction* item = with->addAction(QString::fromStdString(PortLabel(n)));
    item->setCheckable(true);
    item->setChecked(n == chosen_);
    connect(item, &QAction::triggered, this, [this, n] { Choose(n); });
  }
  with->setEnabled(!with->isEmpty());
  QAction* off = menu_->addAction("Tap off");
  off->setEnabled(chosen_ != 0);
  connect(off, &QAction::triggered, this, [this] { Choose(0); });
}

void TapController::Choose(unsigned number) {
  if (session_.PortConnected) return;
  chosen_ = number;
  port_.ShowPortCaption();
}

std::string TapController::CaptionSuffix() const {
  return chosen_ != 0 ? " + " + PortLabel(chosen_) : std::string();
}

void TapController::Follow(bool connected) {
  if (!connected && capture_ && port_.connection().Waiting()) {
    // A vanished and Reconnect waits for it: B records on alone meanwhile.
    if (!aLost_) {
      aLost_ = true;
      capture_->SetSource(TapSide::A, nullptr);
      session_.ShowMessage(
          capture_->Name(TapSide::A) + " lost; " + capture_->Name(TapSide::B) + " keeps recording",
          ErrorColour, 0);
    }
    return;
  }
  if (connected && capture_ && aLost_) {
    // A is back (Reconnect), into the same capture.
    aLost_ = false;
    capture_->SetSource(TapSide::A, queueA_.get());
  }
  if (connected && !capture_ && chosen_ != 0) {
    Open();
  } else if (connected && capture_ && bLost_ && port_.connection().ReconnectOn()) {
    // A scan after B vanished: with Reconnect, B comes back into the same capture once its
    // device is there again and free.
    const std::string path = port_.DevicePathOf(chosen_);
    if (path.empty() || !device::ProbeDevice(path).ok()) return;
    try {
      PortB.Open();
    } catch (...) {
      return;  // still not ready: the next scan tries again
    }
    bLost_ = false;
    capture_->SetSource(TapSide::B, queueB_.get());
    session_.RecordLineEvents(Bits(LineEvent::Reconnect));
    session_.ShowMessage(capture_->Name(TapSide::B) + " back, recording again", SuccessColour, 20);
  } else if (!connected && capture_) {
    Close();
  }
}

void TapController::Open() {
  TComPort& a = port_.ComPort;
  const unsigned numberA = ComPortNumber(a.Port());
  // The window's port could be B itself after a scan renumbered: a tap needs two ports.
  if (chosen_ == numberA) return;
  const std::string name = ComPortName(chosen_);
  const std::string path = port_.DevicePathOf(chosen_);
  const device::Error busy =
      path.empty() ? device::ErrorOf(device::ErrorKind::kNotFound) : device::ProbeDevice(path);
  if (!busy.ok()) {
    // Refused as the window's own port is, and A records alone.
    session_.ShowMessage(busy.kind == device::ErrorKind::kAccessDenied
                             ? name + ": permission denied (add the user to the dialout group)"
                             : name + " is busy software or device",
                         ErrorColour, 20);
    return;
  }
  // The line settings of A. No flow control: a listening port must neither drive RTS nor send
  // XON/XOFF when its queue fills.
  SetRate(PortB, RateOf(a));
  PortB.SetDataBits(a.DataBits());
  PortB.SetStopBits(a.StopBits());
  PortB.Parity().SetBits(a.Parity().Bits());
  PortB.FlowControl().SetFlowControl(fcNone);
  PortB.SetPort(name);

  capture_ =
      std::make_unique<TapCapture>(session_, session_.TimeSource(), PortLabel(numberA), PortLabel(chosen_));
  queueA_ = std::make_unique<ComPortQueue>(a);
  queueB_ = std::make_unique<ComPortQueue>(PortB);
  capture_->SetSource(TapSide::A, queueA_.get());
  session_.Tap = capture_.get();
  ShowSendBar(false);
  try {
    PortB.Open();
  } catch (const std::exception& e) {
    session_.ShowMessage(name + ": " + e.what(), ErrorColour, 0);
    return;
  }
  capture_->SetSource(TapSide::B, queueB_.get());
}

void TapController::Close() {
  if (capture_) {
    // What waited in the merger belongs to the capture: the last pass places it.
    capture_->SetSource(TapSide::A, nullptr);
    capture_->SetSource(TapSide::B, nullptr);
    session_.Tap = nullptr;
  }
  try {
    PortB.Close();
  } catch (...) {
    // Closing a port that failed: its failure has been told.
  }
  capture_.reset();
  bLost_ = false;
  aLost_ = false;
  queueA_.reset();
  queueB_.reset();
  ShowSendBar(true);
}

void TapController::ShowSendBar(bool enabled) {
  if (!enabled && send_.BtnSend->isEnabled()) {
    sendTip_ = send_.BtnSend->toolTip();
    editTip_ = send_.EditSend->toolTip();
  }
  send_.BtnSend->setEnabled(enabled);
  send_.EditSend->setEnabled(enabled);
  const QString why = QString::fromUtf8(TapSendRefused);
  send_.BtnSend->setToolTip(enabled ? sendTip_ : why);
  send_.EditSend->setToolTip(enabled ? editTip_ : why);
}

void TapController::Post(std::function<void()> call) {
  QMetaObject::invokeMethod(
      this, [call = std::move(call)] { call(); }, Qt::QueuedConnection);
}

void TapController::HandleException(std::exception_ptr error) {
  // B closed itself (vanished, failed): A goes on; the message panel says which port went.
  if (!capture_) return;
  if (!PortB.Connected()) {
    capture_->Lost(TapSide::B);
    bLost_ = true;
    return;
  }
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    session_.ShowMessage(capture_->Name(TapSide::B) + ": " + e.what(), ErrorColour, 0);
  } catch (...) {
    session_.ShowMessage(capture_->Name(TapSide::B) + " failed", ErrorColour, 0);
  }
}

}  // namespace quarlex
