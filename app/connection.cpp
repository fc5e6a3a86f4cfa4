#include "app/connection.h"

#include <chrono>

#include "ports/port_name.h"
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

LineEvents LineEventsOfErrors(TComErrors errors) {
  LineEvents events = 0;
  if (errors.Has(ceOverrun)) events = events | LineEvent::Overrun;
  if (errors.Has(ceRxOver)) events = events | LineEvent::QueueOverflow;
  if (errors.Has(ceFrame)) events = events | LineEvent::Framing;
  if (errors.Has(ceRxParity)) events = events | LineEvent::Parity;
  return events;
}

Connection::Connection(Session& session, TComPort& port, PortTable& ports, ConnectionUi& ui,
                       std::function<std::string(unsigned)> devicePath)
    : session_(session),
      port_(port),
      ports_(ports),
      ui_(ui),
      devicePath_(std::move(devicePath)),
      queue_(port) {
  session_.Port = &queue_;
  // The error step runs before the receive step of the same batch, so an error is recorded at
  // the position of the first byte that came with it.
  port_.OnError = [this](TCustomComPort*, TComErrors errors) {
    ReportLineEvents(LineEventsOfErrors(errors));
  };
  port_.OnBreak = [this](TCustomComPort*) { ReportLineEvents(Bits(LineEvent::Break)); };
  port_.OnRing = [this](TCustomComPort*) { ReportLineEvents(Bits(LineEvent::Ring)); };
  port_.OnCTSChange = [this](TCustomComPort*, bool on) {
    ReportLineEvents(on ? LineEvent::Cts | LineEvent::CtsOn : Bits(LineEvent::Cts));
  };
  port_.OnDSRChange = [this](TCustomComPort*, bool on) {
    ReportLineEvents(on ? LineEvent::Dsr | LineEvent::DsrOn : Bits(LineEvent::Dsr));
  };
  port_.OnRLSDChange = [this](TCustomComPort*, bool on) {
    ReportLineEvents(on ? LineEvent::Dcd | LineEvent::DcdOn : Bits(LineEvent::Dcd));
  };
}

void Connection::ReportLineEvents(LineEvents events) {
  // Events of a port the operator is leaving are not news any more.
  if (!session_.PortConnected) return;
  if (session_.LineEventsReported(events)) ui_.LineEventsCounted();
}

std::string Connection::BaudCaption(TBaudRate rate) {
  return "Baud rate " + std::to_string(BaudRateValues[rate]);
}

std::string Connection::HolderText(const device::DeviceHolder& holder) {
  if (holder.pid <= 0) return {};
  const std::string pid = "PID " + std::to_string(holder.pid);
  return "Held by " + (holder.program.empty() ? pid : holder.program + " (" + pid + ")");
}

void Connection::BtnConnectClick() {
  session_.PortConnected = !session_.PortConnected;
  Connect();
}

void Connection::ShowDisconnected() {
  ui_.SetConnectCaption("Connect");
  ui_.SetPortButtonsEnabled(true);
  port_.Close();
}

void Connection::Connect() {
  if (session_.PortConnected) {
    const unsigned number = ports_.PortNumbers[ports_.PortIndex];
    const std::string name = ComPortName(number);
    const std::string path = devicePath_ ? devicePath_(number) : std::string();
    device::DeviceHolder holder;
    const device::Error busy =
        path.empty() ? device::ErrorOf(device::ErrorKind::kNotFound) : device::ProbeDevice(path, &holder);
    ui_.ShowPortHolder(busy ? HolderText(holder) : std::string());
    if (busy.ok()) {
      ports_.RememberChoice();
      ui_.SetConnectCaption("Disconnect");
      ui_.SetPortButtonsEnabled(false);
      port_.SetPort(name);
      // Before Open: the port reports the modem lines' first states while it opens.
      session_.Connected();
      try {
        port_.Open();
        ui_.LineEventsCounted();
      } catch (...) {
        // The port stayed closed: say so on the status bar too, then let the window show why.
        session_.PortConnected = false;
        ShowDisconnected();
        GetSett();
        throw;
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

void Connection::GetSett() {
  const TBaudRate rate = port_.BaudRate();
  if (rate != brCustom) {
    ui_.SetBaudCaption(BaudCaption(rate));
    ui_.CheckBaud(rate);
  }
  ui_.CheckDataBits(port_.DataBits());
  ui_.CheckStopBits(port_.StopBits());
  ui_.CheckParity(port_.Parity().Bits());
  const TFlowControl flow = port_.FlowControl().FlowControl();
  if (flow != fcCustom) ui_.CheckFlow(flow);
}

void Connection::BtnComClick() {
  ports_.BtnComClick();
  ui_.SetPortCaption(ports_.PortCaption());
}

void Connection::ScanPorts(const std::vector<std::string>& texts) {
  ports_.ScanPorts(texts);
  ui_.SetPortCaption(ports_.PortCaption());
}

void Connection::ChooseBaud(TBaudRate rate) {
  port_.SetBaudRate(rate);
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
}

}  // namespace quarlex
