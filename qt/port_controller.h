#pragma once
// Maps the status bar's port controls onto the connection logic, owns the window's port
// component, the port map and the port watcher, and hands the port's events over to the main
// thread.
#include <QAction>
#include <QObject>
#include <QTimer>
#include <exception>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "app/connection.h"
#include "app/port_scan.h"
#include "app/port_watcher.h"
#include "ports/port_map.h"
#include "qt/window_widgets.h"
#include "serial/comport.h"

namespace quarlex {

class TapController;

class PortController : public QObject, public ConnectionUi, public TComOwner {
  Q_OBJECT
 public:
  // Works the status bar `widgets` of `window` (which also owns the dialogs) for `session`.
  // `roots`/`watchPaths` are the system's by default; tests give temporary folders.
  PortController(QWidget& window, Session& session, const StatusWidgets& widgets, PortMapRoots roots,
                 PortWatchPaths watchPaths);
  ~PortController() override;

  TComPort ComPort;

  // Start-up: baud rate 115200, start the watcher, scan, show the settings.
  void Start();
  // Shutdown: stop the watcher, close the port.
  void Shutdown();
  void ScanPorts();
  // Shows port `number` on the port button when the list holds it (a start option).
  void SelectPort(unsigned number);
  void BtnConnectClick();
  Connection& connection() { return *connection_; }
  // The tap that opens and closes its port with this one (set once by the wiring).
  void SetTap(TapController* tap) { tap_ = tap; }
  // What the tap needs of the port list: the device behind a number ("" when unknown), the
  // number on the port button, the numbers there are; and the button's caption shown anew.
  std::string DevicePathOf(unsigned number) const;
  unsigned SelectedPort() const { return table_.SelectedPort; }
  std::vector<unsigned> PortNumbers() const;
  void ShowPortCaption();
  QAction* BaudItem(TBaudRate r) { return baudItems_[static_cast<int>(BaudRateValues[r])]; }
  QAction* BaudItemOfRate(uint32_t rate) { return baudItems_[static_cast<int>(rate)]; }
  QAction* CustomBaudItem() { return customBaud_; }
  QAction* DtrItem() { return dtrItem_; }
  QAction* RtsItem() { return rtsItem_; }
  QAction* BreakItem() { return breakItem_; }
  QAction* DataBitsItem(TDataBits b) { return dataItems_[b]; }
  QAction* StopBitsItem(TStopBits b) { return stopItems_[b]; }
  QAction* ParityItem(TParityBits b) { return parityItems_[b]; }
  QAction* FlowItem(TFlowControl f) { return flowItems_[f]; }
  QAction* ReconnectItem() { return reconnectItem_; }

  // ConnectionUi
  void SetConnectCaption(const std::string& caption) override;
  void SetPortButtonsEnabled(bool enabled) override;
  void SetPortCaption(const std::string& caption) override;
  void SetBaudCaption(const std::string& caption) override;
  void CheckBaud(uint32_t rate) override;
  void CheckDataBits(TDataBits bits) override;
  void CheckStopBits(TStopBits bits) override;
  void CheckParity(TParityBits bits) override;
  void CheckFlow(TFlowControl flow) override;
  void ShowPortHolder(const std::string& holder) override;
  void LineEventsCounted() override;
  void RescanAfter(int ms) override;
  void ShowLineControls(bool dtr, bool rts, bool rtsFree) override;
  void ShowLineLamps(const LineLamps& lamps) override;

  // TComOwner
  void Post(std::function<void()> call) override;
  void HandleException(std::exception_ptr error) override;

  // Shows a failure the way the application shows unexpected errors (a modal error dialog).
  // Tests replace it to collect the texts. The port's own failures open at most one at a time:
  // a device that is lost again while its dialog is open is told on the message panel only.
  std::function<void(const std::string&)> ShowError;
  // Asks for the rate of "Custom…" (a dialog by default), starting from `current`; nothing when
  // the operator cancels. Tests replace it.
  std::function<std::optional<uint32_t>(uint32_t current)> AskCustomRate;

 private:
  void BuildMenus();
  // DTR, RTS and "Send break" below the line-settings sub-menus; usable while connected.
  void BuildLineItems();
  // Where a line-settings menu opens: from the window's outer left and top edge, 25 pixels right of
  // `button`'s left edge and `dy` below its top.
  QPoint MenuOrigin(const QWidget& button, int dy) const;
  void UpdatePortTooltip();

  QWidget& window_;
  Session& session_;
  const StatusWidgets w_;
  PortMap map_;
  PortTable table_;
  PortWatchPaths watchPaths_;
  std::unique_ptr<TRegMonitorThread> watcher_;
  std::unique_ptr<Connection> connection_;
  TapController* tap_ = nullptr;
  // Who held a port at its last busy check, shown on the tooltip while that port is selected.
  std::string holder_;
  uint8_t holderPort_ = 0;
  QAction* customBaud_ = nullptr;
  QAction* dtrItem_ = nullptr;
  QAction* rtsItem_ = nullptr;
  QAction* breakItem_ = nullptr;
  std::vector<QMenu*> settingsMenus_;  // data bits .. flow control: only while disconnected
  std::map<int, QAction*> baudItems_, dataItems_, stopItems_, parityItems_, flowItems_;
  QAction* reconnectItem_ = nullptr;
  QTimer rescan_;            // the connection's RescanAfter
  bool errorShown_ = false;  // a dialog of the port's failures is open
};

}  // namespace quarlex
