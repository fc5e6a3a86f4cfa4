#include "app/connection.h"

#include <algorithm>
#include <chrono>
#include <iterator>

#include "ports/port_name.h"
#include "serial/comport_error.h"
#include "serial/device/device.h"

namespace quarlex {

void ComPortQueue::ReadQueued(uint8_t* buffer, size_t count, ReceivedChunks& chunks) {
  // The bytes were reported queued, so reads return them at once; loop in case the device
  // hands them over in pieces. A read that brings nothing means the queue lost them: stop
  // rather than append stale bytes.
  chunks.clear();
  size_t done = 0;
  while (done < count) {
    const int32_t n = port_.ReadTimed(buffer + done, static_cast<int32_t>(count - done), deviceChunks_);
    if (n <= 0) throw EComPort::CreateNoWinCode(TComExceptions::CE_ReadFailed);  // no OS code to show
    for (const device::RxChunk& c : deviceChunks_) {
      const int64_t ns =
          std::chrono::duration_cast<std::chrono::nanoseconds>(c.time.time_since_epoch()).count();
      chunks.push_back({done + c.offset, ns});
    }
    done += static_cast<size_t>(n);
  }
}

void ComPortQueue::ReadFailed(std::exception_ptr error) {
  try {
    port_.Close();
  } catch (...) {
    // The device already failed; the error to show is the one that brought us here.
  }
  // Posted rather than called: the failure surfaced inside the tick or a save, and the owner's
  // report may run a modal dialog, which must not nest inside them.
  if (TComOwner* owner = port_.Owner()) owner->Post([owner, error] { owner->HandleException(error); });
}

size_t ComPortQueue::QueuedCount() {
  if (!port_.Connected()) return 0;
  const int32_t n = port_.InputCount();
  return n > 0 ? static_cast<size_t>(n) : 0;
}

bool IsMenuRate(uint32_t rate) {
  return std::find(std::begin(MenuRates), std::end(MenuRates), rate) != std::end(MenuRates);
}

uint32_t RateOf(const TCustomComPort& port) {
  const TBaudRate r = port.BaudRate();
  return r == brCustom ? static_cast<uint32_t>(port.CustomBaudRate()) : BaudRateValues[r];
}

void SetRate(TCustomComPort& port, uint32_t rate) {
  for (int r = br110; r <= br256000; ++r) {
    if (BaudRateValues[r] == rate) {
      port.SetBaudRate(static_cast<TBaudRate>(r));
      return;
    }
  }
  // The custom value first: switching to brCustom then applies the new rate, not the old one.
  port.SetCustomBaudRate(static_cast<int32_t>(rate));
  port.SetBaudRate(brCustom);
}

LineEvents LineEventsOfErrors(TComErrors errors) {
  LineEvents events = 0;
  if (errors.Has(ceOverrun)) events = events | LineEvent::Overrun;
  if (errors.Has(ceRxOver)) events = events | LineEvent::QueueOverflow;
  if (errors.Has(ceFrame)) events = events | LineEvent::Framing;
  if (errors.Has(ceRxParity)) events = events | LineEvent::Parity;
  return events;
}

Connection::Connection(Session& session, TComPort& port, PortTable& ports, ConnectionUi& ui,
                       std::function<const PortEntry*(unsigned)> findPort, Clock& clock)
    : session_(session),
      port_(port),
      ports_(ports),
      ui_(ui),
      findPort_(std::move(findPort)),
      clock_(clock),
      queue_(port) {
  session_.Port = &queue_;
  // The error step runs before the receive step of the same batch, so an error is recorded at
  // the position of the first byte that came with it.
  port_.OnError = [this](TCustomComPort*, TComErrors errors) {
    ReportLineEvents(LineEventsOfErrors(errors));
  };
  port_.OnBreak = [this](TCustomComPort*) { ReportLineEvents(Bits(LineEvent::Break)); };
  // The lamps follow the port's modem-status events; nothing polls the lines.
  port_.OnRing = [this](TCustomComPort* p) {
    ReportLineEvents(Bits(LineEvent::Ring));
    if (!session_.PortConnected) return;
    lamps_.Ri = p->Signals().Has(csRing);
    ShowLamps();
  };
  port_.OnCTSChange = [this](TCustomComPort*, bool on) {
    ReportLineEvents(on ? LineEvent::Cts | LineEvent::CtsOn : Bits(LineEvent::Cts));
    if (session_.PortConnected) lamps_.Cts = on;
    ShowLamps();
  };
  port_.OnDSRChange = [this](TCustomComPort*, bool on) {
    ReportLineEvents(on ? LineEvent::Dsr | LineEvent::DsrOn : Bits(LineEvent::Dsr));
    if (session_.PortConnected) lamps_.Dsr = on;
    ShowLamps();
  };
  port_.OnRLSDChange = [this](TCustomComPort*, bool on) {
    ReportLineEvents(on ? LineEvent::Dcd | LineEvent::DcdOn : Bits(LineEvent::Dcd));
    if (session_.PortConnected) lamps_.Dcd = on;
    ShowLamps();
  };
}

std::string LineLampsText(const LineLamps& l) {
  if (!l.Live) return "Lines: not connected";
  auto line = [](const char* name, bool on) { return std::string(name) + (on ? " on" : " off"); };
  return "Lines: " + line("CTS", l.Cts) + ", " + line("DSR", l.Dsr) + ", " + line("DCD", l.Dcd) + ", " +
         line("RI", l.Ri);
}

void Connection::ShowLamps() {
  ui_.ShowLineLamps(lamps_);
}

bool Connection::RtsFree() const {
  const TRTSFlowControl rts = port_.FlowControl().ControlRTS();
  return rts != rtsHandshake && rts != rtsToggle;
}

void Connection::SetDtr(bool on) {
  if (session_.PortConnected && port_.Connected() && on != dtr_) {
    port_.SetDTR(on);
    ReportLineEvents(on ? LineEvent::Dtr | LineEvent::DtrOn : Bits(LineEvent::Dtr));
  }
  dtr_ = on;
  ui_.ShowLineControls(dtr_, rts_, RtsFree());
}

void Connection::SetRts(bool on) {
  if (session_.PortConnected && port_.Connected() && on != rts_ && RtsFree()) {
    port_.SetRTS(on);
    ReportLineEvents(on ? LineEvent::Rts | LineEvent::RtsOn : Bits(LineEvent::Rts));
  }
  rts_ = on;
  ui_.ShowLineControls(dtr_, rts_, RtsFree());
}

bool Connection::StartBreak() {
  if (!session_.PortConnected || !port_.Connected() || breakOn_) return false;
  port_.SetBreak(true);
  breakOn_ = true;
  ReportLineEvents(Bits(LineEvent::BreakSent));
  return true;
}

void Connection::EndBreak() {
  if (!breakOn_) return;
  breakOn_ = false;
  if (port_.Connected()) port_.SetBreak(false);
}

void Connection::LineOpened() {
  const TComSignals now = port_.Signals();
  lamps_ = {true, now.Has(csCTS), now.Has(csDSR), now.Has(csRLSD), now.Has(csRing)};
  ShowLamps();
  // The port opens with both lines off; only the operator's wishes need setting.
  if (dtr_) {
    port_.SetDTR(true);
    ReportLineEvents(LineEvent::Dtr | LineEvent::DtrOn);
  }
  if (rts_ && RtsFree()) {
    port_.SetRTS(true);
    ReportLineEvents(LineEvent::Rts | LineEvent::RtsOn);
  }
}

void Connection::ReportLineEvents(LineEvents events) {
  // Events of a port the operator is leaving are not news any more.
  if (!session_.PortConnected) return;
  if (session_.LineEventsReported(events)) ui_.LineEventsCounted();
}

std::string Connection::BaudCaption(uint32_t rate) {
  return "Baud rate " + std::to_string(rate);
}

std::string Connection::HolderText(const device::DeviceHolder& holder) {
  if (holder.pid <= 0) return {};
  const std::string pid = "PID " + std::to_string(holder.pid);
  return "Held by " + (holder.program.empty() ? pid : holder.program + " (" + pid + ")");
}

void Connection::BtnConnectClick() {
  if (Waiting()) {
    // The operator gives up on the lost device: the window is disconnected, as after a click
    // on a connected port.
    StopWaiting();
    Connect();
    return;
  }
  session_.PortConnected = !session_.PortConnected;
  Connect();
}

void Connection::ShowDisconnected() {
  open_ = false;
  ui_.SetConnectCaption("Connect");
  ui_.SetPortButtonsEnabled(true);
  breakOn_ = false;  // closing the line ends a break
  port_.Close();
  lamps_ = {};
  ShowLamps();
}

device::Error Connection::Probe(unsigned number, const PortEntry*& entry, device::DeviceHolder& holder) {
  entry = findPort_ ? findPort_(number) : nullptr;
  const device::Error busy = entry == nullptr || entry->DevicePath.empty()
                                 ? device::ErrorOf(device::ErrorKind::kNotFound)
                                 : device::ProbeDevice(entry->DevicePath, &holder);
  ui_.ShowPortHolder(busy ? HolderText(holder) : std::string());
  return busy;
}

void Connection::Connect() {
  if (session_.PortConnected) {
    const unsigned number = ports_.PortNumbers[ports_.PortIndex];
    const std::string name = ComPortName(number);
    const PortEntry* entry = nullptr;
    device::DeviceHolder holder;
    const device::Error busy = Probe(number, entry, holder);
    if (busy.ok()) {
      ports_.RememberChoice();
      ui_.SetConnectCaption("Disconnect");
      ui_.SetPortButtonsEnabled(false);
      port_.SetPort(name);
      // Before Open: the port reports the modem lines' first states while it opens.
      session_.Connected();
      try {
        port_.Open();
        open_ = true;
        openNumber_ = number;
        openIdentity_ = IdentityOf(*entry);
        ui_.LineEventsCounted();
        if (const device::Device* d = port_.Handle(); d && d->ModemStatusMissing())
          session_.ShowMessage(
              name + ": the port gives no modem-line status; CTS, DSR, RING and DCD read as low",
              SuccessColour, 0);
      } catch (const EComPort& e) {
        // The port stayed closed: say so on the status bar too, then let the window show why.
        session_.PortConnected = false;
        ShowDisconnected();
        GetSett();
        if (e.DeviceRate() == 0) throw;
        // A rate the device cannot run at is the operator's to change, not a failure to report.
        session_.ShowMessage(name + " cannot run at " + std::to_string(RateOf(port_)) +
                                 " baud: the device would use " + std::to_string(e.DeviceRate()) + " baud",
                             ErrorColour, 0);
        return;
      } catch (...) {
        session_.PortConnected = false;
        ShowDisconnected();
        GetSett();
        throw;
      }
      try {
        LineOpened();
        ShowRoundedRate(name);
      } catch (const std::exception& e) {
        // The line is open and receiving; only the operator's lines did not take.
        session_.ShowMessage(name + ": " + e.what(), ErrorColour, 0);
      }
    } else {
      session_.PortConnected = false;
      if (busy.kind == device::ErrorKind::kAccessDenied) {
        session_.ShowMessage(name + ": permission denied (add the user to the dialout group)", ErrorColour,
                             20);
      } else {
        session_.ShowMessage(name + " is busy software or device", ErrorColour, 20);
      }
    }
  }
  if (!session_.PortConnected) ShowDisconnected();
  GetSett();
}

void Connection::ShowRoundedRate(const std::string& name) {
  // Within the tolerance the device may still round: the line then runs at the device's rate.
  device::Dcb dcb;
  if (!port_.Handle() || port_.Handle()->GetState(dcb)) return;
  const uint32_t asked = RateOf(port_);
  if (dcb.BaudRate == asked) return;
  session_.ShowMessage(
      name + " runs at " + std::to_string(dcb.BaudRate) + " baud (" + std::to_string(asked) + " asked)",
      SuccessColour, 0);
}

namespace {
bool DeviceVanished(std::exception_ptr error) {
  try {
    if (error) std::rethrow_exception(error);
  } catch (const EComPort& e) {
    return e.Code() == ComErrorCode(TComExceptions::CE_PortDisconnected);
  } catch (...) {
  }
  return false;
}

// "3.2": tenths of a second, rounded down.
std::string SecondsText(int64_t ns) {
  const int64_t tenths = std::max<int64_t>(0, ns / 100'000'000);
  return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10);
}
}  // namespace

bool Connection::PortClosed(std::exception_ptr error) {
  if (Waiting()) return true;  // a late report of the loss already handled
  if (!(reconnect_ && open_ && DeviceVanished(error))) {
    session_.PortConnected = false;
    Connect();
    return false;
  }
  open_ = false;
  session_.PortConnected = false;  // nothing is received or sent until the device is back
  try {
    port_.Close();
  } catch (...) {
    // Already closed by the loss; the loss is what the operator is told.
  }
  session_.RecordLineEvents(Bits(LineEvent::Disconnect));
  breakOn_ = false;
  lamps_ = {};
  ShowLamps();
  lost_ = Lost{openNumber_, openIdentity_, clock_.MonotonicNs(), 0, {}};
  const std::string name = ComPortName(openNumber_);
  session_.ShowMessage(name + " lost, reconnecting when it is back", ErrorColour, 0);
  ui_.SetPortCaption("Port " + std::to_string(openNumber_));
  // The device may be back before its loss reached this thread, its scan already done: look
  // once more in a second; after that, hot-plug scans drive the waiting.
  ui_.RescanAfter(RetryDelayMs(1));
  return true;
}

void Connection::SetReconnect(bool on) {
  reconnect_ = on;
  if (!on && Waiting()) {
    StopWaiting();
    Connect();
  }
}

void Connection::StopWaiting() {
  lost_.reset();
  ui_.RescanAfter(0);
  session_.PortConnected = false;
}

void Connection::RetryLater(const std::string& name, const std::string& reason) {
  const int delay = RetryDelayMs(++lost_->Failures);
  session_.ShowMessage(
      name + " is back but " + reason + ", retrying in " + std::to_string(delay / 1000) + " s", ErrorColour,
      0);
  ui_.RescanAfter(delay);
}

void Connection::TryReconnect() {
  Lost& lost = *lost_;
  const std::string name = ComPortName(lost.Number);
  const PortEntry* entry = findPort_ ? findPort_(lost.Number) : nullptr;
  if (entry == nullptr) return;  // still away: the next hot-plug scan looks again
  const DeviceIdentity found = IdentityOf(*entry);
  if (!SameIdentity(lost.Identity, found)) {
    // Said once per stranger: every hot-plug scan finds it again.
    const std::string who = (found.Source == PortEntry::Kind::Virtual ? "link:" : "hw:") + found.Key;
    if (lost.StrangerShown != who) {
      lost.StrangerShown = who;
      session_.ShowMessage(name + ": another device has the number now, not opened", ErrorColour, 0);
    }
    return;
  }
  device::DeviceHolder holder;
  const device::Error busy = Probe(lost.Number, entry, holder);
  if (busy) {
    if (busy.kind == device::ErrorKind::kAccessDenied) {
      RetryLater(name, "permission denied (add the user to the dialout group)");
    } else if (busy.kind == device::ErrorKind::kNotFound) {
      RetryLater(name, "not ready");  // listed, but its device does not open yet
    } else {
      const std::string held = HolderText(holder);
      RetryLater(name, held.empty() ? "busy" : "busy (" + held + ")");
    }
    return;
  }
  port_.SetPort(name);
  session_.Reopened();
  session_.PortConnected = true;
  try {
    port_.Open();
  } catch (const std::exception& e) {
    session_.PortConnected = false;
    try {
      port_.Close();
    } catch (...) {
    }
    RetryLater(name, std::string("did not open: ") + e.what());
    return;
  }
  open_ = true;
  openNumber_ = lost.Number;
  openIdentity_ = lost.Identity;
  const int64_t away = clock_.MonotonicNs() - lost.LostAtNs;
  lost_.reset();
  ui_.RescanAfter(0);
  session_.RecordLineEvents(Bits(LineEvent::Reconnect));
  // The device came back with its lines off: the operator's DTR and RTS go on again.
  try {
    LineOpened();
  } catch (const std::exception& e) {
    session_.ShowMessage(name + ": " + e.what(), ErrorColour, 0);
    return;
  }
  session_.ShowMessage(name + " back after " + SecondsText(away) + " s, reconnected", SuccessColour, 0);
  ui_.LineEventsCounted();
}

void Connection::GetSett() {
  const uint32_t rate = RateOf(port_);
  ui_.SetBaudCaption(BaudCaption(rate));
  ui_.CheckBaud(rate);
  ui_.CheckDataBits(port_.DataBits());
  ui_.CheckStopBits(port_.StopBits());
  ui_.CheckParity(port_.Parity().Bits());
  const TFlowControl flow = port_.FlowControl().FlowControl();
  if (flow != fcCustom) ui_.CheckFlow(flow);
  ui_.ShowLineControls(dtr_, rts_, RtsFree());
}

void Connection::BtnComClick() {
  ports_.BtnComClick();
  ui_.SetPortCaption(ports_.PortCaption());
}

void Connection::ScanPorts(const std::vector<std::string>& texts) {
  ports_.ScanPorts(texts);
  if (Waiting()) {
    TryReconnect();
    // The button names the port awaited, not whichever the list shows meanwhile.
    if (Waiting()) {
      ui_.SetPortCaption("Port " + std::to_string(lost_->Number));
      return;
    }
  }
  ui_.SetPortCaption(ports_.PortCaption());
}

void Connection::ChooseRate(uint32_t rate) {
  rate = std::clamp(rate, MinRate, MaxRate);
  SetRate(port_, rate);
  ui_.CheckBaud(rate);
  ui_.SetBaudCaption(BaudCaption(rate));
}

void Connection::ChooseDataBits(TDataBits bits) {
  port_.SetDataBits(bits);
  ui_.CheckDataBits(bits);
}

void Connection::ChooseStopBits(TStopBits bits) {
  port_.SetStopBits(bits);
  ui_.CheckStopBits(bits);
}

void Connection::ChooseParity(TParityBits bits) {
  port_.Parity().SetBits(bits);
  ui_.CheckParity(bits);
}

void Connection::ChooseFlow(TFlowControl flow) {
  port_.FlowControl().SetFlowControl(flow);
  ui_.CheckFlow(flow);
  ui_.ShowLineControls(dtr_, rts_, RtsFree());
}

}  // namespace quarlex
