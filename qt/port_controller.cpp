#include "qt/port_controller.h"

#include <QActionGroup>
#include <QInputDialog>
#include <QMessageBox>
#include <QMetaObject>
#include <QTimer>

#include "ports/port_name.h"
#include "qt/tap_controller.h"

namespace quarlex {

namespace {
std::string DescribeException(std::exception_ptr error) {
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "Unknown error";
  }
}
}  // namespace

PortController::PortController(QWidget& window, Session& session, const StatusWidgets& widgets,
                               PortMapRoots roots, PortWatchPaths watchPaths)
    : ComPort(this),
      window_(window),
      session_(session),
      w_(widgets),
      map_(std::move(roots)),
      watchPaths_(std::move(watchPaths)) {
  ShowError = [this](const std::string& text) {
    QMessageBox::critical(&window_, "Quarlex", QString::fromStdString(text));
  };
  AskCustomRate = [this](uint32_t current) -> std::optional<uint32_t> {
    bool ok = false;
    const int rate =
        QInputDialog::getInt(&window_, "Quarlex", "Baud rate (50 to 12000000):", static_cast<int>(current),
                             static_cast<int>(MinRate), static_cast<int>(MaxRate), 1, &ok);
    if (!ok) return std::nullopt;
    return static_cast<uint32_t>(rate);
  };
  ComPort.SetName("ComPort");
  // The window's stored settings ask for a 64 KiB input queue; the XON/XOFF limits follow from it.
  ComPort.Buffer().SetInputSize(65536);
  // The window's port is named "COM<n>"; the port map says which device stands behind it.
  ComPort.SetPortPathResolver([this](const std::string& port) -> std::string {
    if (const uint8_t n = ComPortNumber(port)) {
      if (const PortEntry* e = map_.Find(n)) return e->DevicePath;
    }
    return port;
  });
  ComPort.OnRxChar = [this](TCustomComPort*, int32_t count) {
    if (count > 0) session_.ComPortRxChar(static_cast<size_t>(count));
  };
  connection_ = std::make_unique<Connection>(session_, ComPort, table_, *this,
                                             [this](unsigned n) { return map_.Find(n); });
  BuildMenus();
  rescan_.setSingleShot(true);
  connect(&rescan_, &QTimer::timeout, this, [this] { ScanPorts(); });

  connect(w_.BtnConnect, &ClickLabel::clicked, this, [this] { BtnConnectClick(); });
  connect(w_.BtnCom, &ClickLabel::clicked, this, [this] {
    if (!w_.BtnCom->isEnabled()) return;
    connection_->BtnComClick();
    UpdatePortTooltip();
  });
  auto popBaud = [this] {
    if (!w_.BtnSetBr->isEnabled()) return;
    const QPoint at = MenuOrigin(*w_.BtnSetBr, 35);
    w_.PopupMenuSetBr->popup(at);
  };
  auto popCom = [this] {
    if (!w_.BtnSetCom->isEnabled()) return;
    const QPoint at = MenuOrigin(*w_.BtnSetCom, -59);
    w_.PopupMenuSetCom->popup(at);
  };
  connect(w_.BtnSetBr, &ClickLabel::clicked, this, popBaud);
  connect(w_.BtnSetBr, &ClickLabel::rightClicked, this, popBaud);
  connect(w_.BtnSetCom, &ClickLabel::clicked, this, popCom);
  connect(w_.BtnSetCom, &ClickLabel::rightClicked, this, popCom);
}

QPoint PortController::MenuOrigin(const QWidget& button, int dy) const {
  // Measured from the window's outer edge (its frame, title bar included), not its client area.
  return window_.frameGeometry().topLeft() +
         QPoint(w_.PanelNpc4->x() + button.x() + 25, w_.PanelNpc4->y() + button.y() + dy);
}

PortController::~PortController() {
  Shutdown();
}

void PortController::BuildMenus() {
  auto add = [this](QMenu* menu, QActionGroup* group, const char* caption, std::map<int, QAction*>& items,
                    int value, std::function<void()> choose) {
    QAction* a = menu->addAction(caption);
    a->setCheckable(true);
    group->addAction(a);
    items[value] = a;
    connect(a, &QAction::triggered, this, [this, choose] {
      try {
        choose();
      } catch (const std::exception& e) {
        ShowError(e.what());
      }
    });
  };
  auto* baud = new QActionGroup(this);
  for (uint32_t r : MenuRates) {
    const std::string caption = std::to_string(r);
    add(w_.PopupMenuSetBr, baud, caption.c_str(), baudItems_, static_cast<int>(r),
        [this, r] { connection_->ChooseRate(r); });
  }
  w_.PopupMenuSetBr->addSeparator();
  std::map<int, QAction*> custom;
  add(w_.PopupMenuSetBr, baud, "Custom\u2026", custom, 0, [this] {
    const uint32_t current = RateOf(ComPort);
    if (const std::optional<uint32_t> rate = AskCustomRate(current)) {
      connection_->ChooseRate(*rate);
    } else {
      CheckBaud(current);  // cancelled: the check mark goes back to the rate in force
    }
  });
  customBaud_ = custom[0];
  QMenu* db = w_.PopupMenuSetCom->addMenu("Data bits");
  auto* dbg = new QActionGroup(this);
  const std::pair<const char*, TDataBits> dataBits[] = {
      {"8", dbEight}, {"7", dbSeven}, {"6", dbSix}, {"5", dbFive}};
  for (auto [c, v] : dataBits) add(db, dbg, c, dataItems_, v, [this, v] { connection_->ChooseDataBits(v); });
  QMenu* sb = w_.PopupMenuSetCom->addMenu("Stop bits");
  auto* sbg = new QActionGroup(this);
  const std::pair<const char*, TStopBits> stopBits[] = {
      {"2", sbTwoStopBits}, {"1.5", sbOne5StopBits}, {"1", sbOneStopBit}};
  for (auto [c, v] : stopBits) add(sb, sbg, c, stopItems_, v, [this, v] { connection_->ChooseStopBits(v); });
  QMenu* pr = w_.PopupMenuSetCom->addMenu("Parity");
  auto* prg = new QActionGroup(this);
  const std::pair<const char*, TParityBits> parity[] = {
      {"Odd", prOdd}, {"Even", prEven}, {"Mark", prMark}, {"Space", prSpace}, {"None", prNone}};
  for (auto [c, v] : parity) add(pr, prg, c, parityItems_, v, [this, v] { connection_->ChooseParity(v); });
  QMenu* fc = w_.PopupMenuSetCom->addMenu("Flow control");
  auto* fcg = new QActionGroup(this);
  const std::pair<const char*, TFlowControl> flow[] = {
      {"Hardware", fcHardware}, {"Software", fcSoftware}, {"None", fcNone}};
  for (auto [c, v] : flow) add(fc, fcg, c, flowItems_, v, [this, v] { connection_->ChooseFlow(v); });
  w_.PopupMenuSetCom->addSeparator();
  reconnectItem_ = w_.PopupMenuSetCom->addAction("Reconnect");
  reconnectItem_->setCheckable(true);
  reconnectItem_->setChecked(connection_->ReconnectOn());
  connect(reconnectItem_, &QAction::toggled, this, [this](bool on) {
    connection_->SetReconnect(on);
    if (tap_) tap_->Follow(session_.PortConnected);  // a wait given up ends the tap too
  });
  settingsMenus_ = {db, sb, pr, fc};
  BuildLineItems();
}

void PortController::BuildLineItems() {
  QMenu* menu = w_.PopupMenuSetCom;
  menu->setToolTipsVisible(true);
  menu->addSeparator();
  auto guarded = [this](std::function<void()> call) {
    return [this, call] {
      try {
        call();
      } catch (const std::exception& e) {
        ShowError(e.what());
      }
    };
  };
  dtrItem_ = menu->addAction("DTR");
  dtrItem_->setCheckable(true);
  // A change the line refused leaves the check marks where the lines are.
  const auto lines = [this] {
    ShowLineControls(connection_->Dtr(), connection_->Rts(), connection_->RtsFree());
  };
  connect(dtrItem_, &QAction::triggered, this, guarded([this, lines] {
            lines();
            connection_->SetDtr(!connection_->Dtr());
          }));
  rtsItem_ = menu->addAction("RTS");
  rtsItem_->setCheckable(true);
  connect(rtsItem_, &QAction::triggered, this, guarded([this, lines] {
            lines();
            connection_->SetRts(!connection_->Rts());
          }));
  breakItem_ = menu->addAction("Send break");
  breakItem_->setToolTip("Holds the line in break for 250 ms");
  const auto endBreak = guarded([this] {
    breakItem_->setEnabled(session_.PortConnected);
    connection_->EndBreak();
  });
  connect(breakItem_, &QAction::triggered, this, guarded([this, endBreak] {
            if (!connection_->StartBreak()) return;
            breakItem_->setEnabled(false);
            QTimer::singleShot(Connection::BreakMs, this, endBreak);
          }));
  breakItem_->setEnabled(false);
}

void PortController::ShowLineControls(bool dtr, bool rts, bool rtsFree) {
  // A failed change leaves the check mark where the line is.
  dtrItem_->setChecked(dtr);
  rtsItem_->setChecked(rts);
  rtsItem_->setEnabled(rtsFree);
  rtsItem_->setToolTip(rtsFree ? QString() : QString("With hardware flow control the driver drives RTS"));
}

void PortController::ShowLineLamps(const LineLamps& lamps) {
  const std::pair<QLabel*, bool> all[] = {
      {w_.LampCts, lamps.Cts}, {w_.LampDsr, lamps.Dsr}, {w_.LampDcd, lamps.Dcd}, {w_.LampRi, lamps.Ri}};
  for (const auto& [lamp, on] : all) {
    const bool lit = lamps.Live && on;
    // Lit: a green dot; off: a grey one; no port: dot and name faded alike.
    const char* dot = lit ? "#4CAF50" : lamps.Live ? "#A0A0A0" : "#C4C4C4";
    const char* text = lamps.Live ? "#555555" : "#AAAAAA";
    const QString name = lamp->objectName().mid(4);
    lamp->setText(QString("<span style=\"color:%1\">\u25CF</span> <span style=\"color:%2\">%3</span>")
                      .arg(dot, text, name));
    lamp->setProperty("lit", lit);
    lamp->setProperty("live", lamps.Live);
  }
  UpdatePortTooltip();
}

void PortController::Start() {
  ComPort.SetBaudRate(br115200);
  session_.PortConnected = false;
  watcher_ = std::make_unique<TRegMonitorThread>(
      watchPaths_, [this](std::function<void()> task) { Post(std::move(task)); }, [this] { ScanPorts(); });
  watcher_->Start();
  ScanPorts();
  connection_->GetSett();
  ShowLineLamps(connection_->Lamps());
}

void PortController::Shutdown() {
  rescan_.stop();
  if (watcher_) {
    watcher_->Stop();
    watcher_.reset();
  }
  if (session_.PortConnected) {
    session_.PortConnected = false;
  }
  try {
    ComPort.Close();
  } catch (...) {
    // Closing on the way out: nothing left to report to.
  }
}

void PortController::ScanPorts() {
  // A port list that cannot be read leaves the table and the caption as they were.
  if (!map_.Refresh()) return;
  connection_->ScanPorts(map_.PortTexts());
  UpdatePortTooltip();
  // A port that Reconnect opened again brings its tap's port B back into the same capture.
  if (tap_) tap_->Follow(session_.PortConnected);
}

void PortController::SelectPort(unsigned number) {
  // The operator asked for this port: the scan selects it when the list holds it, and again
  // whenever it appears later, as with a port chosen on the button.
  table_.SelectedPort = table_.ChosenPort = static_cast<uint8_t>(number);
  ScanPorts();
}

void PortController::UpdatePortTooltip() {
  const PortEntry* e = map_.Find(table_.SelectedPort);
  QString tip = e ? QString::fromStdString(e->Description) : QString("No serial port found");
  if (e && !holder_.empty() && holderPort_ == table_.SelectedPort)
    tip += "\n" + QString::fromStdString(holder_);
  // The line events of the present (or last) connection follow what names the port.
  tip += "\n" + QString::fromStdString(LineLampsText(connection_->Lamps()));
  tip += "\n" + QString::fromStdString(LineEventCountsText(session_.LineCounts()));
  w_.BtnCom->setToolTip(tip);
}

std::string PortController::DevicePathOf(unsigned number) const {
  const PortEntry* e = map_.Find(number);
  return e ? e->DevicePath : std::string();
}

std::vector<unsigned> PortController::PortNumbers() const {
  std::vector<unsigned> numbers;
  for (const PortEntry& e : map_.Ports()) numbers.push_back(e.Number);
  return numbers;
}

void PortController::ShowPortCaption() {
  SetPortCaption(table_.PortCaption());
}

void PortController::ShowPortHolder(const std::string& holder) {
  holder_ = holder;
  holderPort_ = table_.SelectedPort;
  UpdatePortTooltip();
}

void PortController::LineEventsCounted() {
  UpdatePortTooltip();
}

void PortController::RescanAfter(int ms) {
  if (ms > 0) {
    rescan_.start(ms);
  } else {
    rescan_.stop();
  }
}

void PortController::BtnConnectClick() {
  try {
    connection_->BtnConnectClick();
  } catch (const std::exception& e) {
    ShowError(e.what());
  }
  if (tap_) tap_->Follow(session_.PortConnected);
}

void PortController::SetConnectCaption(const std::string& caption) {
  w_.BtnConnect->setText(QString::fromStdString(caption));
}

void PortController::SetPortButtonsEnabled(bool enabled) {
  w_.BtnCom->setEnabled(enabled);
  w_.BtnSetBr->setEnabled(enabled);
  // The ". . ." menu stays open to the line items while connected; the settings wait.
  for (QMenu* m : settingsMenus_) m->menuAction()->setEnabled(enabled);
  breakItem_->setEnabled(!enabled);
}

void PortController::SetPortCaption(const std::string& caption) {
  w_.BtnCom->setText(QString::fromStdString(caption + (tap_ ? tap_->CaptionSuffix() : std::string())));
}

void PortController::SetBaudCaption(const std::string& caption) {
  w_.BtnSetBr->setText(QString::fromStdString(caption));
}

void PortController::CheckBaud(uint32_t rate) {
  if (auto it = baudItems_.find(static_cast<int>(rate)); it != baudItems_.end()) {
    it->second->setChecked(true);
  } else {
    customBaud_->setChecked(true);
  }
}
void PortController::CheckDataBits(TDataBits bits) {
  dataItems_[bits]->setChecked(true);
}
void PortController::CheckStopBits(TStopBits bits) {
  stopItems_[bits]->setChecked(true);
}
void PortController::CheckParity(TParityBits bits) {
  parityItems_[bits]->setChecked(true);
}
void PortController::CheckFlow(TFlowControl flow) {
  if (auto it = flowItems_.find(flow); it != flowItems_.end()) it->second->setChecked(true);
}

void PortController::Post(std::function<void()> call) {
  // Queued into the main thread's loop; it keeps running inside modal dialogs, so the port's
  // thread is served while a file dialog or an error box is open.
  QMetaObject::invokeMethod(
      this, [call = std::move(call)] { call(); }, Qt::QueuedConnection);
}

void PortController::HandleException(std::exception_ptr error) {
  // The port closed itself (a vanished device, a failed handler, a failed read of queued bytes,
  // which also cleared PortConnected at once): the status bar goes back to the disconnected
  // state so the operator can connect again, or, with Reconnect, waits for the device.
  if (!ComPort.Connected()) connection_->PortClosed(error);
  // A tap's port B closes with A, or records on while Reconnect waits for A.
  if (tap_) tap_->Follow(session_.PortConnected);
  // The dialog runs the event loop, where the device may come back and vanish again: one
  // dialog is enough, the message panel tells the rest.
  if (errorShown_) return;
  errorShown_ = true;
  try {
    ShowError(DescribeException(error));
  } catch (...) {
    errorShown_ = false;
    throw;
  }
  errorShown_ = false;
}

}  // namespace quarlex
