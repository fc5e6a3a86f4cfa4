// TCustomComPort: construction, the open/close cycle, properties and the apply gate, line
// control, links, the error routine and the event dispatch steps. Transfers are in
// comport_transfer.cpp, the event thread in comport_thread.cpp.
#include "serial/comport.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "serial/comport_thread.h"

namespace quarlex {

using enum TComExceptions;

namespace {

// The OS code a report carries: errno where the device read one, else the comm API code.
int64_t OSCodeOf(const device::Error& e) {
  return e.os_code != 0 ? e.os_code : static_cast<int64_t>(e.win_code);
}

}  // namespace

TCustomComPort::TCustomComPort(TComOwner* AOwner)
    : FOwner(AOwner),
      FBuffer(std::make_unique<TComBuffer>(this)),
      FParity(std::make_unique<TComParity>(this)),
      FTimeouts(std::make_unique<TComTimeouts>(this)),
      FFlowControl(std::make_unique<TComFlowControl>(this)) {}

TCustomComPort::~TCustomComPort() {
  try {
    Close();
  } catch (...) {
    // A destructor cannot pass a handler's failure on; the port is released below regardless.
  }
  // The threads go before the device they wait on.
  FEventThread.reset();
  FRetiredThreads.clear();
  if (FWindow) FWindow->Port = nullptr;
  DestroyPortHandle();
}

void TCustomComPort::SetDesigning(bool value) {
  if (value)
    FComponentState.Include(csDesigning);
  else
    FComponentState.Exclude(csDesigning);
}

void TCustomComPort::Loaded() {
  FComponentState.Exclude(csLoading);
  if (FConnected && !FComponentState.Has(csDesigning)) {
    FConnected = false;
    try {
      Open();
    } catch (...) {
      if (!FOwner) throw;
      FOwner->HandleException(std::current_exception());
    }
  }
}

// --- open / close

std::string TCustomComPort::DevicePath() const {
  if (FPortPathResolver) return FPortPathResolver(FPort);
  return device::PlatformDevicePath(FPort);
}

void TCustomComPort::CreatePortHandle() {
  std::unique_ptr<device::Device> dev;
  const device::Error e = device::OpenDevice(DevicePath(), dev);
  if (e || !dev) {
    ReportDeviceError(CE_OpenFailed, e ? e : device::ErrorOf(device::ErrorKind::kOther));
    return;
  }
  FHandle = std::move(dev);
}

void TCustomComPort::DestroyPortHandle() {
  if (!FHandle) return;
  FHandle->Close();
  FHandle.reset();
}

void TCustomComPort::Open() {
  if (FConnected || FComponentState.Has(csDesigning)) return;
  if (!FEvents.Empty() && FSyncMethod != smNone && !FOwner)
    throw std::logic_error("a port without owner can only dispatch events with smNone");
  JoinRetiredThreads(false);
  DoBeforeOpen();
  CreatePortHandle();
  // With OnException installed a failed open returns here: a port without a device is not open.
  if (!FHandle) return;
  FConnected = true;
  ++FGeneration;
  FPendingErrors = 0;
  FOpenEvents = FEvents;
  try {
    ApplyAllSettings();
  } catch (...) {
    DestroyPortHandle();
    FConnected = false;
    ++FGeneration;
    throw;
  }
  if (FEvents.Empty()) {
    FThreadCreated = false;
  } else {
    if (FSyncMethod == smWindowSync) FWindow = std::make_shared<TPortWindow>(TPortWindow{this});
    FEventThread = std::make_unique<TComThread>(this);
    FThreadCreated = true;
  }
  // ProcessAfterOpen: the owner learns the initial line states right away.
  ForEachLink([&](TComLink& l) {
    if (l.OnConn) l.OnConn(this, true);
  });
  DoAfterOpen();
  ProcessCTSChange();
  ProcessDSRChange();
  ProcessRLSDChange();
}

void TCustomComPort::Close() {
  CloseInternal(false);
}

void TCustomComPort::CloseInternal(bool device_gone) {
  if (!FConnected || FComponentState.Has(csDesigning)) return;
  // A vanished device has no lines to report and no transfers to abort.
  if (!device_gone) {
    // ProcessBeforeClose
    ForEachLink([&](TComLink& l) {
      if (l.OnCTSChange) l.OnCTSChange(this, false);
    });
    ForEachLink([&](TComLink& l) {
      if (l.OnDSRChange) l.OnDSRChange(this, false);
    });
    ForEachLink([&](TComLink& l) {
      if (l.OnRLSDChange) l.OnRLSDChange(this, false);
    });
    DoCTSChange(false);
    DoDSRChange(false);
    DoRLSDChange(false);
    DoBeforeClose();
    if (!FConnected) return;  // a before-close handler closed the port itself
    AbortAllAsync();
  }
  if (FThreadCreated) {
    DestroyEventThread();
    FThreadCreated = false;
    if (FWindow) {
      FWindow->Port = nullptr;
      FWindow.reset();
    }
  }
  DestroyPortHandle();
  FConnected = false;
  ++FGeneration;
  // ProcessAfterClose
  ForEachLink([&](TComLink& l) {
    if (l.OnConn) l.OnConn(this, false);
  });
  DoAfterClose();
}

void TCustomComPort::DestroyEventThread() {
  std::unique_ptr<TComThread> thread = std::move(FEventThread);
  if (!thread) return;
  thread->RequestStop();
  if (thread->CallerIsInsideDispatch()) {
    // The thread is waiting for the very step that runs this Close: waiting for it here would
    // never end. Do its ending steps on its behalf and join it before the next Open.
    thread->ReleaseDevice();
    if (FHandle) {
      FHandle->SetEventMask(0);
      FHandle->Purge(device::PURGE_TXCLEAR | device::PURGE_RXCLEAR);
    }
    FRetiredThreads.push_back(std::move(thread));
  } else {
    thread->Join();
  }
}

void TCustomComPort::JoinRetiredThreads(bool all) {
  auto it = FRetiredThreads.begin();
  while (it != FRetiredThreads.end()) {
    if (all || !(*it)->CallerIsInsideDispatch()) {
      (*it)->Join();
      it = FRetiredThreads.erase(it);
    } else {
      ++it;  // an Open inside the same handler: the old thread ends once the handler returns
    }
  }
}

void TCustomComPort::SetConnected(bool value) {
  if (FComponentState.Has(csDesigning) || FComponentState.Has(csLoading)) {
    FConnected = value;
    return;
  }
  if (value == FConnected) return;
  if (value)
    Open();
  else
    Close();
}

// --- update bracket and apply

void TCustomComPort::EndUpdate() {
  if (FUpdateCount <= 0) return;
  if (--FUpdateCount == 0) ApplyAllSettings();
}

bool TCustomComPort::ApplyGateOpen() const {
  return FConnected && FHandle && FUpdateCount == 0 && !FComponentState.Has(csDesigning) &&
         !FComponentState.Has(csLoading);
}

void TCustomComPort::ApplyAllSettings() {
  ApplyQueueSizes();
  ApplyLineSettings();
  ApplyTimeoutSettings();
}

TDCB TCustomComPort::DeviceControlBlock() const {
  return BuildDCB(FLine, *FParity, *FFlowControl, *FBuffer);
}

void TCustomComPort::ApplyLineSettings() {
  if (!ApplyGateOpen()) return;
  if (device::Error e = FHandle->SetState(DeviceControlBlock())) ReportDeviceError(CE_SetStateFailed, e);
}

void TCustomComPort::ApplyTimeoutSettings() {
  if (!ApplyGateOpen()) return;
  if (device::Error e = FHandle->SetTimeouts(CommTimeouts())) ReportDeviceError(CE_TimeoutsFailed, e);
}

void TCustomComPort::ApplyQueueSizes() {
  if (!ApplyGateOpen()) return;
  // Sizes go out with their bits unchanged; a negative one reaches the device as a huge value,
  // which the device refuses: the device is the judge.
  if (device::Error e = FHandle->SetQueueSizes(static_cast<uint32_t>(FBuffer->InputSize()),
                                               static_cast<uint32_t>(FBuffer->OutputSize())))
    ReportDeviceError(CE_SetupComFailed, e);
}

// --- properties

void TCustomComPort::SetPort(const std::string& value) {
  if (FPort == value) return;
  FPort = value;
  if (FConnected && !FComponentState.Has(csDesigning) && !FComponentState.Has(csLoading)) {
    Close();
    Open();
  }
}

void TCustomComPort::SetBaudRate(TBaudRate value) {
  if (StoreChanged(FLine.BaudRate, value)) ApplyLineSettings();
}
void TCustomComPort::SetCustomBaudRate(int32_t value) {
  if (StoreChanged(FLine.CustomBaudRate, value)) ApplyLineSettings();
}
void TCustomComPort::SetStopBits(TStopBits value) {
  if (StoreChanged(FLine.StopBits, value)) ApplyLineSettings();
}
void TCustomComPort::SetDataBits(TDataBits value) {
  if (StoreChanged(FLine.DataBits, value)) ApplyLineSettings();
}
void TCustomComPort::SetDiscardNull(bool value) {
  if (StoreChanged(FLine.DiscardNull, value)) ApplyLineSettings();
}
void TCustomComPort::SetEofChar(char16_t value) {
  if (StoreChanged(FLine.EofChar, value)) ApplyLineSettings();
}
void TCustomComPort::SetEventChar(char16_t value) {
  if (StoreChanged(FLine.EventChar, value)) ApplyLineSettings();
}

void TCustomComPort::SetParity(const TComParity& value) {
  FParity->Assign(value);
  ApplyLineSettings();
}
void TCustomComPort::SetFlowControl(const TComFlowControl& value) {
  FFlowControl->Assign(value);
  ApplyLineSettings();
}
void TCustomComPort::SetTimeouts(const TComTimeouts& value) {
  FTimeouts->Assign(value);
  ApplyTimeoutSettings();
}
void TCustomComPort::SetBuffer(const TComBuffer& value) {
  FBuffer->Assign(value);
  ApplyQueueSizes();
}

void TCustomComPort::SetSyncMethod(TSyncMethod value) {
  if (value == FSyncMethod) return;
  if (FConnected && !FComponentState.Has(csDesigning) && !FComponentState.Has(csLoading)) {
    RaiseComError(CE_ConnChangeProp, 0);
    return;  // the running thread keeps dispatching the way it was started
  }
  FSyncMethod = value;
}

void TCustomComPort::SetEventThreadPriority(TThreadPriority value) {
  if (value == FEventThreadPriority) return;
  if (FConnected && !FComponentState.Has(csDesigning) && !FComponentState.Has(csLoading)) {
    RaiseComError(CE_ConnChangeProp, 0);
    return;
  }
  FEventThreadPriority = value;
}

void TCustomComPort::SetRxEventInterval(int32_t value) {
  FRxEventInterval = value < 0 ? 0 : value;
  // A device that refuses is closing or gone; its own failure reaches the owner another way.
  if (FThreadCreated && FHandle) FHandle->SetRxEventInterval(static_cast<uint32_t>(FRxEventInterval));
}

void TCustomComPort::SetTriggersOnRxChar(bool value) {
  if (FHasLink) RaiseComError(CE_HasLink, 0);
  FTriggersOnRxChar = value;
}

// --- links

void TCustomComPort::RecomputeHasLink() {
  FHasLink = std::any_of(FLinks.begin(), FLinks.end(),
                         [](const TComLink* l) { return static_cast<bool>(l->OnRxBuf); });
}

void TCustomComPort::RegisterLink(TComLink* AComLink) {
  if (std::find(FLinks.begin(), FLinks.end(), AComLink) != FLinks.end())
    RaiseComError(CE_RegFailed, 0);
  else if (AComLink)
    FLinks.push_back(AComLink);
  RecomputeHasLink();
}

void TCustomComPort::UnRegisterLink(TComLink* AComLink) {
  auto it = std::find(FLinks.begin(), FLinks.end(), AComLink);
  if (it == FLinks.end())
    RaiseComError(CE_RegFailed, 0);
  else
    FLinks.erase(it);
  RecomputeHasLink();
}

// --- error routine

void TCustomComPort::RaiseComError(TComExceptions Kind, int64_t OSCode, const std::string& OSText) {
  if (!OnException) {
    if (OSCode > 0) throw EComPort::Create(Kind, OSCode);
    throw EComPort::CreateNoWinCode(Kind);
  }
  std::string WinMessage;
  if (OSCode > 0) {
    const std::string text = OSText.empty() ? std::string(std::strerror(static_cast<int>(OSCode))) : OSText;
    WinMessage = "System Error.  Code: " + std::to_string(OSCode) + ".\r\n" + text;
  }
  OnException(this, Kind, ComErrorText(ComErrorCode(Kind)), OSCode, WinMessage);
}

void TCustomComPort::ReportDeviceError(TComExceptions kind, const device::Error& error) {
  // The rate a device would use instead of a refused one is for the caller to offer; an owner's
  // OnException gets the usual report.
  if (error.device_rate != 0 && !OnException)
    throw EComPort::Create(kind, OSCodeOf(error)).WithDeviceRate(error.device_rate);
  RaiseComError(kind, OSCodeOf(error), error.os_text);
}

// --- line control

device::Error TCustomComPort::CallDevice(const std::function<device::Error(device::Device&)>& call) {
  if (!FHandle) return device::ErrorOf(device::ErrorKind::kNotOpen);
  return call(*FHandle);
}

device::CommStatus TCustomComPort::CommStatus() {
  device::CommStatus status;
  if (device::Error e = CallDevice([&](device::Device& d) { return d.GetCommStatus(status); }))
    ReportDeviceError(CE_ClearComFailed, e);
  // The device clears its error word on every query; keep what a queue count took so that
  // LastErrors still reports it (otherwise an input overflow seen by InputCount would vanish).
  FPendingErrors.fetch_or(status.errors);
  return status;
}

int32_t TCustomComPort::InputCount() {
  return static_cast<int32_t>(CommStatus().in_queue);
}
int32_t TCustomComPort::OutputCount() {
  return static_cast<int32_t>(CommStatus().out_queue);
}

TComStateFlags TCustomComPort::StateFlags() {
  return TComStateFlags::FromBits(static_cast<uint8_t>(CommStatus().hold & 0x7F));
}

TComErrors TCustomComPort::LastErrors() {
  CommStatus();
  const uint32_t errors = FPendingErrors.exchange(0);
  TComErrors result;
  if (errors & device::CE_RXOVER) result.Include(ceRxOver);
  if (errors & device::CE_OVERRUN) result.Include(ceOverrun);
  if ((errors & device::CE_RXPARITY) && FParity->Check()) result.Include(ceRxParity);
  if (errors & device::CE_FRAME) result.Include(ceFrame);
  if (errors & device::CE_BREAK) result.Include(ceBreak);
  if (errors & device::CE_TXFULL) result.Include(ceTxFull);
  if (errors & device::CE_IOE) result.Include(ceIO);
  if (errors & device::CE_MODE) result.Include(ceMode);
  return result;
}

TComSignals TCustomComPort::Signals() {
  uint32_t status = 0;
  if (device::Error e = CallDevice([&](device::Device& d) { return d.GetModemStatus(status); }))
    ReportDeviceError(CE_ModemStatFailed, e);
  TComSignals result;
  if (status & device::MS_CTS_ON) result.Include(csCTS);
  if (status & device::MS_DSR_ON) result.Include(csDSR);
  if (status & device::MS_RING_ON) result.Include(csRing);
  if (status & device::MS_RLSD_ON) result.Include(csRLSD);
  return result;
}

void TCustomComPort::Escape(uint32_t function) {
  if (device::Error e = CallDevice([&](device::Device& d) { return d.Escape(function); }))
    ReportDeviceError(CE_EscapeComFailed, e);
}

void TCustomComPort::SetDTR(bool OnOff) {
  Escape(OnOff ? device::SETDTR : device::CLRDTR);
}
void TCustomComPort::SetRTS(bool OnOff) {
  Escape(OnOff ? device::SETRTS : device::CLRRTS);
}
void TCustomComPort::SetXonXoff(bool OnOff) {
  Escape(OnOff ? device::SETXON : device::SETXOFF);
}
void TCustomComPort::SetBreak(bool OnOff) {
  Escape(OnOff ? device::SETBREAK : device::CLRBREAK);
}

void TCustomComPort::ClearBuffer(bool Input, bool Output) {
  uint32_t flags = 0;
  if (Input) flags |= device::PURGE_RXCLEAR;
  if (Output) flags |= device::PURGE_TXCLEAR;
  if (device::Error e = CallDevice([&](device::Device& d) { return d.Purge(flags); }))
    ReportDeviceError(CE_PurgeFailed, e);
}

void TCustomComPort::TransmitChar(char16_t Ch) {
  const auto byte = static_cast<uint8_t>(Ch);
  if (device::Error e = CallDevice([&](device::Device& d) { return d.TransmitChar(byte); }))
    ReportDeviceError(CE_TransmitFailed, e);
}

// --- handlers

void TCustomComPort::DoAfterClose() {
  if (OnAfterClose) OnAfterClose(this);
}
void TCustomComPort::DoAfterOpen() {
  if (OnAfterOpen) OnAfterOpen(this);
}
void TCustomComPort::DoBeforeClose() {
  if (OnBeforeClose) OnBeforeClose(this);
}
void TCustomComPort::DoBeforeOpen() {
  if (OnBeforeOpen) OnBeforeOpen(this);
}
void TCustomComPort::DoRxChar(int32_t Count) {
  if (OnRxChar) OnRxChar(this, Count);
}
void TCustomComPort::DoRxBuf(const uint8_t* Buffer, int32_t Count) {
  if (OnRxBuf) OnRxBuf(this, Buffer, Count);
}
void TCustomComPort::DoTxEmpty() {
  if (OnTxEmpty) OnTxEmpty(this);
}
void TCustomComPort::DoBreak() {
  if (OnBreak) OnBreak(this);
}
void TCustomComPort::DoRing() {
  if (OnRing) OnRing(this);
}
void TCustomComPort::DoRxFlag() {
  if (OnRxFlag) OnRxFlag(this);
}
void TCustomComPort::DoCTSChange(bool OnOff) {
  if (OnCTSChange) OnCTSChange(this, OnOff);
}
void TCustomComPort::DoDSRChange(bool OnOff) {
  if (OnDSRChange) OnDSRChange(this, OnOff);
}
void TCustomComPort::DoError(TComErrors Errors) {
  if (OnError) OnError(this, Errors);
}
void TCustomComPort::DoRLSDChange(bool OnOff) {
  if (OnRLSDChange) OnRLSDChange(this, OnOff);
}
void TCustomComPort::DoRx80Full() {
  if (OnRx80Full) OnRx80Full(this);
}

// --- event dispatch

void TCustomComPort::RunEventHandlers(TComEvents events, uint64_t generation) {
  // A handler may close (or close and reopen) the port; the rest of the batch then belongs to a
  // device that is no longer there.
  auto live = [&] { return FConnected && FGeneration == generation; };
  if (events.Has(evError) && live()) ProcessError();  // before anything reads the error word
  if (events.Has(evRxChar) && live()) ProcessRxChar();
  if (events.Has(evTxEmpty) && live()) ProcessTxEmpty();
  if (events.Has(evBreak) && live()) ProcessBreak();
  if (events.Has(evRing) && live()) ProcessRing();
  if (events.Has(evCTS) && live()) ProcessCTSChange();
  if (events.Has(evDSR) && live()) ProcessDSRChange();
  if (events.Has(evRxFlag) && live()) ProcessRxFlag();
  if (events.Has(evRLSD) && live()) ProcessRLSDChange();
  if (events.Has(evRx80Full) && live()) ProcessRx80Full();
}

void TCustomComPort::PortWindowProc(uint32_t mask_bit, uint64_t generation) {
  if (!FConnected || FGeneration != generation) return;
  switch (mask_bit) {
    case device::EV_RXCHAR:
      ProcessRxChar();
      break;
    case device::EV_RXFLAG:
      ProcessRxFlag();
      break;
    case device::EV_TXEMPTY:
      ProcessTxEmpty();
      break;
    case device::EV_CTS:
      ProcessCTSChange();
      break;
    case device::EV_DSR:
      ProcessDSRChange();
      break;
    case device::EV_RLSD:
      ProcessRLSDChange();
      break;
    case device::EV_BREAK:
      ProcessBreak();
      break;
    case device::EV_ERR:
      ProcessError();
      break;
    case device::EV_RING:
      ProcessRing();
      break;
    case device::EV_RX80FULL:
      ProcessRx80Full();
      break;
    default:
      break;
  }
}

void TCustomComPort::DeviceLost(uint64_t generation, std::exception_ptr cause) {
  const bool live = FConnected && FGeneration == generation;
  if (live) {
    // A step that failed on a device that has gone failed because it has gone: that is the news,
    // as when the event thread's wait reports the loss itself.
    uint32_t modem = 0;
    if (cause && FHandle && FHandle->GetModemStatus(modem).kind == device::ErrorKind::kGone) cause = nullptr;
    CloseInternal(true);
  }
  if (cause) std::rethrow_exception(cause);
  if (live) RaiseComError(CE_PortDisconnected, 0);
}

void TCustomComPort::ProcessError() {
  const TComErrors errors = LastErrors();
  if (!errors.Empty()) DoError(errors);
}

void TCustomComPort::ProcessRxChar() {
  int32_t Count = InputCount();
  // Received bytes were dropped since the error step ran (the device raises no error event for
  // an overflowing queue): an owner that watches errors hears of it before it handles the bytes
  // that did arrive. Its handler may close the port; then there is nothing left to receive.
  if ((FPendingErrors & device::CE_RXOVER) && FOpenEvents.Has(evError)) {
    const uint64_t generation = FGeneration;
    ProcessError();
    if (!FConnected || FGeneration != generation) return;
  }
  if (Count <= 0) return;
  ForEachLink([&](TComLink& l) {
    if (l.OnRx) l.OnRx(this, true);
  });
  if (!FTriggersOnRxChar || FHasLink) {
    // The port reads the bytes once and hands the same buffer to everyone who wants it.
    std::unique_ptr<uint8_t[]> buffer;
    int32_t got = 0;
    auto read_once = [&] {
      if (buffer) return;
      buffer = std::make_unique<uint8_t[]>(static_cast<size_t>(Count));
      // Only what was really read is passed on, never the untouched tail of the buffer.
      got = std::max<int32_t>(0, Read(buffer.get(), Count));
      DoRxBuf(buffer.get(), got);
    };
    ForEachLink([&](TComLink& l) {
      if (!l.OnRxBuf) return;
      read_once();
      l.OnRxBuf(this, buffer.get(), got);
    });
    if (!buffer && !FTriggersOnRxChar) read_once();
    if (buffer) Count = 0;
  }
  if (Count > 0) DoRxChar(Count);
}

void TCustomComPort::ProcessTxEmpty() {
  ForEachLink([&](TComLink& l) {
    if (l.OnTx) l.OnTx(this, false);
  });
  ForEachLink([&](TComLink& l) {
    if (l.OnTxEmpty) l.OnTxEmpty(this);
  });
  DoTxEmpty();
}

void TCustomComPort::ProcessBreak() {
  DoBreak();
}

void TCustomComPort::ProcessRing() {
  ForEachLink([&](TComLink& l) {
    if (l.OnRing) l.OnRing(this);
  });
  DoRing();
}

void TCustomComPort::ProcessCTSChange() {
  const bool on = Signals().Has(csCTS);
  ForEachLink([&](TComLink& l) {
    if (l.OnCTSChange) l.OnCTSChange(this, on);
  });
  DoCTSChange(on);
}

void TCustomComPort::ProcessDSRChange() {
  const bool on = Signals().Has(csDSR);
  ForEachLink([&](TComLink& l) {
    if (l.OnDSRChange) l.OnDSRChange(this, on);
  });
  DoDSRChange(on);
}

void TCustomComPort::ProcessRLSDChange() {
  const bool on = Signals().Has(csRLSD);
  ForEachLink([&](TComLink& l) {
    if (l.OnRLSDChange) l.OnRLSDChange(this, on);
  });
  DoRLSDChange(on);
}

void TCustomComPort::ProcessRxFlag() {
  ForEachLink([&](TComLink& l) {
    if (l.OnRxFlag) l.OnRxFlag(this);
  });
  DoRxFlag();
}

void TCustomComPort::ProcessRx80Full() {
  DoRx80Full();
}

}  // namespace quarlex
