#pragma once
// Connection control of the status bar: choosing a port, the busy check, opening and closing
// the window's port, reopening a device that vanished once it is back (Reconnect), and showing
// the port's line settings on the baud label and the menus.
// Plain C++: the window implements ConnectionUi; tests drive it with a fake UI and a fake device.
// Main thread only.
#include <functional>
#include <optional>
#include <string>

#include "app/port_scan.h"
#include "app/reconnect.h"
#include "app/session.h"
#include "ports/port_map.h"
#include "serial/comport.h"

namespace quarlex {

// The peer's modem lines as the status bar's lamps show them: lit while on, all dim while no
// port is open (Live false).
struct LineLamps {
  bool Live = false;
  bool Cts = false;
  bool Dsr = false;
  bool Dcd = false;
  bool Ri = false;
  bool operator==(const LineLamps&) const = default;
};
// "Lines: CTS on, DSR off, DCD on, RI off"; "Lines: not connected" while not Live.
std::string LineLampsText(const LineLamps& lamps);

class ConnectionUi {
 public:
  virtual ~ConnectionUi() = default;
  virtual void SetConnectCaption(const std::string& caption) = 0;
  virtual void SetPortButtonsEnabled(bool enabled) = 0;  // BtnCom, BtnSetBr, BtnSetCom
  virtual void SetPortCaption(const std::string& caption) = 0;
  virtual void SetBaudCaption(const std::string& caption) = 0;
  // Check marks: one item per group; checking one unchecks the others of its group. A rate the
  // baud menu does not list checks its "Custom…" item.
  virtual void CheckBaud(uint32_t rate) = 0;
  virtual void CheckDataBits(TDataBits bits) = 0;
  virtual void CheckStopBits(TStopBits bits) = 0;
  virtual void CheckParity(TParityBits bits) = 0;
  virtual void CheckFlow(TFlowControl flow) = 0;  // never called with fcCustom
  // Who holds the selected port, for BtnCom's tooltip ("Held by minicom (PID 4242)"), as the
  // last busy check found it; empty when it was free or nobody could be named.
  virtual void ShowPortHolder(const std::string& holder) = 0;
  // The session's line-event counts changed (an event, or a new connection reset them).
  virtual void LineEventsCounted() = 0;
  // Asks for one ScanPorts with a freshly read port list in `ms` milliseconds, in place of one
  // asked for earlier; 0 cancels. While a lost device is awaited, hot-plug scans come by
  // themselves; this one is for a port that came back but could not be opened yet.
  virtual void RescanAfter(int ms) = 0;
  // The operator's line items: DTR and RTS checked or not, and whether RTS is the operator's
  // (hardware flow control gives it to the driver).
  virtual void ShowLineControls(bool dtr, bool rts, bool rtsFree) = 0;
  // The peer's lines changed, or the port opened or closed.
  virtual void ShowLineLamps(const LineLamps& lamps) = 0;
};

// The baud-rate menu's rates, top to bottom (its "Custom…" item follows them).
inline constexpr uint32_t MenuRates[] = {4000000, 3000000, 2000000, 1500000, 1000000, 921600, 576000, 500000,
                                         460800,  256000,  128000,  115200,  57600,   56000,  38400,  19200,
                                         14400,   9600,    4800,    2400,    1200,    600,    300,    110};
// Any whole rate in this range may be asked for ("Custom…", --baud); the device is the judge of
// whether it can run at it.
inline constexpr uint32_t MinRate = 50;
inline constexpr uint32_t MaxRate = 12000000;
bool IsMenuRate(uint32_t rate);
// The port's rate in bits per second, and setting it: a rate the component names has its own
// TBaudRate, any other goes as brCustom with CustomBaudRate.
uint32_t RateOf(const TCustomComPort& port);
void SetRate(TCustomComPort& port, uint32_t rate);

// The line errors of a port's error event as line events. Breaks are left out: the port raises
// its break event for each of them, and they are counted there.
LineEvents LineEventsOfErrors(TComErrors errors);

// The port's receive queue as the capture store reads it.
class ComPortQueue : public ReceiveSource {
 public:
  explicit ComPortQueue(TCustomComPort& port) : port_(port) {}
  void ReadQueued(uint8_t* buffer, size_t count, ReceivedChunks& chunks) override;
  size_t QueuedCount() override;
  // Closes the port at once and hands `error` to the port's owner from its event loop, as a
  // device lost on the event thread is: the owner shows it and puts the status bar back.
  void ReadFailed(std::exception_ptr error) override;

 private:
  TCustomComPort& port_;
  std::vector<device::RxChunk> deviceChunks_;  // kept, so a steady stream allocates nothing
};

class Connection {
 public:
  // `findPort` gives the port map's entry of a port number (null when there is none): the
  // device the busy check opens, and who it is. `clock` times a lost device's absence.
  // Takes the port's error, break, ring and modem-line handlers: they report to the session.
  Connection(Session& session, TComPort& port, PortTable& ports, ConnectionUi& ui,
             std::function<const PortEntry*(unsigned number)> findPort, Clock& clock = SystemClock());

  // The connect button: toggles PortConnected, then Connect. An Open that fails after the busy
  // check passed puts the window back into the disconnected state and rethrows the port's error
  // so the window can show it. While a lost device is awaited it stops the waiting instead.
  void BtnConnectClick();
  void Connect();
  void GetSett();
  void BtnComClick();
  // Re-reads the port list (the watcher's hand-over and start-up). While a lost device is
  // awaited, a scan that finds it back opens it.
  void ScanPorts(const std::vector<std::string>& texts);

  // The port closed itself and `error` says why (the owner's HandleException). When the device
  // vanished while connected and Reconnect is on, the window waits for it to come back: the loss
  // is recorded in the time index and said on the message panel, the connect button keeps
  // reading "Disconnect" (which stops the waiting), and true is returned. Otherwise the status
  // bar goes back to the disconnected state and false is returned. The caller shows the error
  // either way.
  bool PortClosed(std::exception_ptr error);

  // Reconnect (the `. . .` menu's item, on at start): whether a vanished device is awaited.
  // Turning it off while waiting stops the waiting.
  void SetReconnect(bool on);
  bool ReconnectOn() const { return reconnect_; }
  // A vanished device is awaited.
  bool Waiting() const { return lost_.has_value(); }

  // Menu items: set one property of the port, then check the item itself.
  void ChooseRate(uint32_t rate);  // MinRate..MaxRate
  void ChooseBaud(TBaudRate rate) { ChooseRate(BaudRateValues[rate]); }
  void ChooseDataBits(TDataBits bits);
  void ChooseStopBits(TStopBits bits);
  void ChooseParity(TParityBits bits);
  void ChooseFlow(TFlowControl flow);

  // The operator's DTR and RTS, off at start: set on the line at once while connected, else at
  // the next connect; each change of the line is a line event in the time index. RTS is left
  // alone while hardware flow control drives it.
  void SetDtr(bool on);
  void SetRts(bool on);
  bool Dtr() const { return dtr_; }
  bool Rts() const { return rts_; }
  bool RtsFree() const;
  // A break from the operator: StartBreak sets it on a connected line (false when there is none,
  // or a break is on already) and records it; EndBreak, BreakMs later, clears it.
  static constexpr int BreakMs = 250;
  bool StartBreak();
  void EndBreak();
  const LineLamps& Lamps() const { return lamps_; }

  static std::string BaudCaption(uint32_t rate);
  // "Held by <program> (PID <pid>)", "Held by PID <pid>" without a name; empty when unknown.
  static std::string HolderText(const device::DeviceHolder& holder);

 private:
  // The device a reconnection waits for.
  struct Lost {
    unsigned Number = 0;
    DeviceIdentity Identity;
    int64_t LostAtNs = 0;       // monotonic
    int Failures = 0;           // tries since it came back that failed
    std::string StrangerShown;  // identity of another device last said to hold the number
  };

  void ShowDisconnected();
  // After an open: says so when the device runs the line at a rate it rounded to.
  void ShowRoundedRate(const std::string& name);
  void ReportLineEvents(LineEvents events);
  // The busy check of port `number`; `entry` is set to its map entry (null when none).
  device::Error Probe(unsigned number, const PortEntry*& entry, device::DeviceHolder& holder);
  void StopWaiting();
  void TryReconnect();
  void RetryLater(const std::string& name, const std::string& reason);
  // After an open: the operator's DTR and RTS onto the line, the lamps from the line's state.
  void LineOpened();
  void ShowLamps();

  bool dtr_ = false;
  bool rts_ = false;
  bool breakOn_ = false;
  LineLamps lamps_;

  Session& session_;
  TComPort& port_;
  PortTable& ports_;
  ConnectionUi& ui_;
  std::function<const PortEntry*(unsigned)> findPort_;
  Clock& clock_;
  ComPortQueue queue_;
  bool reconnect_ = true;
  // The port is open on the operator's connection (or its reconnection): what was opened.
  bool open_ = false;
  unsigned openNumber_ = 0;
  DeviceIdentity openIdentity_;
  std::optional<Lost> lost_;
};

}  // namespace quarlex
