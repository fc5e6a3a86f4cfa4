#pragma once
// Connection control of the status bar: choosing a port, the busy check, opening and closing
// the window's port, and showing the port's line settings on the baud label and the menus.
// Plain C++: the window implements ConnectionUi; tests drive it with a fake UI and a fake device.
// Main thread only.
#include <functional>
#include <string>

#include "app/port_scan.h"
#include "app/session.h"
#include "serial/comport.h"

namespace quarlex {

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
  // `devicePath` maps a port number to the device the busy check opens ("" when unknown).
  // Takes the port's error, break, ring and modem-line handlers: they report to the session.
  Connection(Session& session, TComPort& port, PortTable& ports, ConnectionUi& ui,
             std::function<std::string(unsigned number)> devicePath);

  // The connect button: toggles PortConnected, then Connect. An Open that fails after the busy
  // check passed puts the window back into the disconnected state and rethrows the port's error
  // so the window can show it.
  void BtnConnectClick();
  void Connect();
  void GetSett();
  void BtnComClick();
  // Re-reads the port list (the watcher's hand-over and start-up).
  void ScanPorts(const std::vector<std::string>& texts);

  // Menu items: set one property of the port, then check the item itself.
  void ChooseRate(uint32_t rate);  // MinRate..MaxRate
  void ChooseBaud(TBaudRate rate) { ChooseRate(BaudRateValues[rate]); }
  void ChooseDataBits(TDataBits bits);
  void ChooseStopBits(TStopBits bits);
  void ChooseParity(TParityBits bits);
  void ChooseFlow(TFlowControl flow);

  static std::string BaudCaption(uint32_t rate);
  // "Held by <program> (PID <pid>)", "Held by PID <pid>" without a name; empty when unknown.
  static std::string HolderText(const device::DeviceHolder& holder);

 private:
  void ShowDisconnected();
  // After an open: says so when the device runs the line at a rate it rounded to.
  void ShowRoundedRate(const std::string& name);
  void ReportLineEvents(LineEvents events);

  Session& session_;
  TComPort& port_;
  PortTable& ports_;
  ConnectionUi& ui_;
  std::function<std::string(unsigned)> devicePath_;
  ComPortQueue queue_;
};

}  // namespace quarlex
