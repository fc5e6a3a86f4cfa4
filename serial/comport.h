#pragma once
// The serial port component: TCustomComPort owns one serial device (through the device layer),
// its line settings, its event thread and its owner's handlers; TComPort is the same port as the
// window holds it. No toolkit dependency.
//
// Threads. The port belongs to its owner's thread: properties, Open, Close, transfers, the
// line-control operations and every handler run there. The one exception is SyncMethod smNone,
// with which the event handlers run on the event thread; a device loss that the event thread
// notices, or a handler that raised there, is still handed to the owner's thread, which closes
// the port. How a batch of comm
// events reaches the owner's thread is the owner's TComOwner (below): smThreadSync blocks the
// event thread until the handlers have run on the owner's thread; smWindowSync sends one message
// per event and the owner side replies before running the step.
//
// Failures go through RaiseComError: an EComPort exception to the caller, or a call of
// OnException after which the operation goes on.
#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "serial/comport_error.h"
#include "serial/comport_settings.h"
#include "serial/comport_types.h"
#include "serial/device/device.h"

namespace quarlex {

class TCustomComPort;
class TComThread;
class TComStorageOps;
struct TPortWindow;

// What the owner supplies: a way onto its thread and its general exception handler.
class TComOwner {
 public:
  virtual ~TComOwner() = default;
  // Queues `call` to run later on the owner's thread, in the order posted. Any thread may post.
  // Must never run `call` inline. A call posted for a port that has since closed or been
  // destroyed checks that itself and does nothing, so the owner may run it whenever it gets to
  // it (the Qt shell: QMetaObject::invokeMethod(window, call, Qt::QueuedConnection)).
  virtual void Post(std::function<void()> call) = 0;
  // The application's general exception handler, called on the owner's thread with a failure
  // that no caller of the port can catch: an exception that left an event handler (it also ends
  // the event thread, so the port has closed as for a vanished device, see TComThread), a
  // vanished device noticed by the event thread ("Port Disconnected", after the port closed), a
  // failed Open in Loaded.
  virtual void HandleException(std::exception_ptr error) = 0;
};

using TNotifyEvent = std::function<void(TCustomComPort* Sender)>;
using TRxCharEvent = std::function<void(TCustomComPort* Sender, int32_t Count)>;
using TRxBufEvent = std::function<void(TCustomComPort* Sender, const uint8_t* Buffer, int32_t Count)>;
using TComSignalEvent = std::function<void(TCustomComPort* Sender, bool OnOff)>;
using TComErrorEvent = std::function<void(TCustomComPort* Sender, TComErrors Errors)>;
using TComExceptionEvent =
    std::function<void(TCustomComPort* Sender, TComExceptions TComException,
                       const std::string& ComportMessage, int64_t WinError, const std::string& WinMessage)>;

// Another object's view of the port's traffic. Not owned by the port; the port is always the
// Sender. Unassigned handlers are skipped.
class TComLink {
 public:
  TComSignalEvent OnConn;
  TRxBufEvent OnRxBuf;
  TRxBufEvent OnTxBuf;
  TNotifyEvent OnTxEmpty;
  TNotifyEvent OnRxFlag;
  TComSignalEvent OnCTSChange;
  TComSignalEvent OnDSRChange;
  TComSignalEvent OnRLSDChange;
  TNotifyEvent OnRing;
  TComSignalEvent OnTx;
  TComSignalEvent OnRx;
};

// Record of one asynchronous transfer (PAsync points to it). Overlapped is the device's record of
// the pending operation.
struct TAsync {
  device::Transfer Overlapped;
  TOperationKind Kind = okWrite;
  std::unique_ptr<uint8_t[]> Data;  // private copy of the bytes of the last write
  int32_t Size = 0;
};
using PAsync = TAsync*;

void CreateAsync(PAsync& AsyncPtr);
// Releases the record (a pending operation on it is cancelled) and sets AsyncPtr to null.
void DestroyAsync(PAsync& AsyncPtr);

enum TComponentStateFlag : uint8_t { csDesigning, csLoading };
using TComponentState = TSet<TComponentStateFlag, uint8_t>;

class TCustomComPort {
 public:
  // AOwner supplies the hand-over to its thread; it may be null for a port used with smNone or
  // with an empty Events set (such a port learns of a vanished device at its next transfer). It
  // must outlive the port. A port may be closed, reopened or given a new Port from inside its
  // own handlers, but not destroyed there.
  explicit TCustomComPort(TComOwner* AOwner = nullptr);
  virtual ~TCustomComPort();  // Close, then release the settings objects (links are not freed)
  TCustomComPort(const TCustomComPort&) = delete;
  TCustomComPort& operator=(const TCustomComPort&) = delete;

  TComOwner* Owner() const { return FOwner; }
  const std::string& Name() const { return FName; }
  void SetName(const std::string& value) { FName = value; }
  TComponentState ComponentState() const { return FComponentState; }
  // Design mode closes the apply gate and makes Open/Close do nothing.
  void SetDesigning(bool value);
  // Reading a stored description: BeginLoading ... Loaded. While loading, Connected is only stored.
  void BeginLoading() { FComponentState.Include(csLoading); }
  virtual void Loaded();

  // --- open/close
  void Open();
  void Close();
  bool Connected() const { return FConnected; }
  void SetConnected(bool value);
  // The device, or null while closed (the invalid handle).
  device::Device* Handle() const { return FHandle.get(); }

  // --- update bracket and applying settings
  void BeginUpdate() { ++FUpdateCount; }
  void EndUpdate();
  int32_t UpdateCount() const { return FUpdateCount; }
  virtual void ApplyAllSettings();
  virtual void ApplyLineSettings();
  virtual void ApplyTimeoutSettings();
  virtual void ApplyQueueSizes();
  // What ApplyLineSettings / ApplyTimeoutSettings would send now.
  TDCB DeviceControlBlock() const;
  TCommTimeouts CommTimeouts() const { return BuildCommTimeouts(*FTimeouts); }

  // --- properties
  const std::string& Port() const { return FPort; }
  // A new text on an open port closes it and opens the new device.
  void SetPort(const std::string& value);
  // How Port becomes a device path. Default: the platform's (a text containing '/' is a path,
  // any other text a name under /dev on Linux; on Windows the name itself, "COM5"). The window
  // installs its port map's lookup (COM<n> -> device).
  using TPortPathResolver = std::function<std::string(const std::string& port)>;
  void SetPortPathResolver(TPortPathResolver resolver) { FPortPathResolver = std::move(resolver); }
  std::string DevicePath() const;

  TBaudRate BaudRate() const { return FLine.BaudRate; }
  void SetBaudRate(TBaudRate value);
  int32_t CustomBaudRate() const { return FLine.CustomBaudRate; }
  void SetCustomBaudRate(int32_t value);
  TStopBits StopBits() const { return FLine.StopBits; }
  void SetStopBits(TStopBits value);
  TDataBits DataBits() const { return FLine.DataBits; }
  void SetDataBits(TDataBits value);
  bool DiscardNull() const { return FLine.DiscardNull; }
  void SetDiscardNull(bool value);
  char16_t EofChar() const { return FLine.EofChar; }
  void SetEofChar(char16_t value);
  char16_t EventChar() const { return FLine.EventChar; }
  void SetEventChar(char16_t value);

  // The port's own settings objects. Writing through them applies per field; the Set* forms
  // below copy a whole object and apply once.
  TComParity& Parity() { return *FParity; }
  const TComParity& Parity() const { return *FParity; }
  TComFlowControl& FlowControl() { return *FFlowControl; }
  const TComFlowControl& FlowControl() const { return *FFlowControl; }
  TComTimeouts& Timeouts() { return *FTimeouts; }
  const TComTimeouts& Timeouts() const { return *FTimeouts; }
  TComBuffer& Buffer() { return *FBuffer; }
  const TComBuffer& Buffer() const { return *FBuffer; }
  void SetParity(const TComParity& value);
  void SetFlowControl(const TComFlowControl& value);
  void SetTimeouts(const TComTimeouts& value);
  void SetBuffer(const TComBuffer& value);

  // Takes effect at the next Open.
  TComEvents Events() const { return FEvents; }
  void SetEvents(TComEvents value) { FEvents = value; }
  TStoredProps StoredProps() const { return FStoredProps; }
  void SetStoredProps(TStoredProps value) { FStoredProps = value; }
  // Code page of WriteUnicodeString / ReadUnicodeString: 0 (the program's code page) and 1251
  // are Windows-1251, 65001 is UTF-8; any other value is treated as the program's code page.
  uint32_t CodePage() const { return FCodePage; }
  void SetCodePage(uint32_t value) { FCodePage = value; }
  // Refused with error 14 while the port is open.
  TSyncMethod SyncMethod() const { return FSyncMethod; }
  void SetSyncMethod(TSyncMethod value);
  // Stored and checked like SyncMethod; the event thread runs at the normal priority on Linux
  // (raising it needs privileges a monitor should not ask for).
  TThreadPriority EventThreadPriority() const { return FEventThreadPriority; }
  void SetEventThreadPriority(TThreadPriority value);
  bool TriggersOnRxChar() const { return FTriggersOnRxChar; }
  void SetTriggersOnRxChar(bool value);
  // Receive batching. While bytes keep arriving, the event thread hands the receive steps
  // (OnRxChar or OnRxBuf, the links' OnRx and OnRxBuf, OnRxFlag) to the owner at most once per
  // RxEventInterval milliseconds, each time with everything queued by then. The first bytes after
  // a quieter spell are handed over at once, so the echo of a keystroke is not delayed, and no
  // byte waits longer than the interval. Any other event is handed over at once, together with
  // the bytes held so far, in the fixed order of a batch. 0: every receive event as soon as the
  // device reports it. Default 10: far below what an operator can see (the window draws every
  // 100 ms), and a 115200-baud line costs at most 100 hand-overs a second instead of one per
  // chunk the adapter delivers, about 800. Owner's thread; a change takes effect at once, also
  // while the port is open. Negative values count as 0.
  static constexpr int32_t DefaultRxEventInterval = 10;
  int32_t RxEventInterval() const { return FRxEventInterval; }
  void SetRxEventInterval(int32_t value);

  // --- settings persistence (ini file section or per-user registry store; see comport_storage.h)
  void StoreSettings(TStoreType StoreType, const std::string& StoreTo);
  void LoadSettings(TStoreType StoreType, const std::string& LoadFrom);
  // The steps StoreSettings / LoadSettings use; a derived port returns its own to override them.
  virtual TComStorageOps& StorageOps();

  // --- links
  void RegisterLink(TComLink* AComLink);
  void UnRegisterLink(TComLink* AComLink);

  // --- line control (each one device call; on a closed port the call fails and is reported)
  int32_t InputCount();
  int32_t OutputCount();
  TComSignals Signals();
  TComStateFlags StateFlags();
  // Line errors since the previous call. The device clears its error word on every status query;
  // errors that InputCount, OutputCount or StateFlags took meanwhile are kept and reported here.
  TComErrors LastErrors();
  void SetDTR(bool OnOff);
  void SetRTS(bool OnOff);
  void SetXonXoff(bool OnOff);
  void SetBreak(bool OnOff);
  void ClearBuffer(bool Input, bool Output);
  void TransmitChar(char16_t Ch);

  // --- transfer. Read and Write block until the transfer completes; with the default time-outs a
  // read returns at once with what is queued (at most Count bytes).
  int32_t Write(const void* Buffer, int32_t Count);
  int32_t Read(void* Buffer, int32_t Count);
  // Read of what is queued now, whatever the time-outs say, with when the device read each piece
  // from the line (Chunks: one entry per piece, offsets into Buffer; see device::RxChunk).
  // Failures are reported as Read reports them; the links are told as after a Read.
  int32_t ReadTimed(void* Buffer, int32_t Count, std::vector<device::RxChunk>& Chunks);
  int32_t WriteAsync(const void* Buffer, int32_t Count, PAsync& AsyncPtr);
  int32_t ReadAsync(void* Buffer, int32_t Count, PAsync& AsyncPtr);
  int32_t WaitForAsync(PAsync& AsyncPtr);
  bool IsAsyncCompleted(PAsync AsyncPtr);
  void AbortAllAsync();
  // Text variants. A "Str" (UTF-16) sends one byte per unit, its low 8 bits; an "AnsiStr" sends its
  // bytes as they are; a "UnicodeString" is converted through CodePage.
  int32_t WriteStr(const std::u16string& Str);
  int32_t WriteAnsiStr(const std::string& Str);
  int32_t WriteUnicodeString(const std::u16string& Str);
  // Packs the units into the first bytes of Str's own storage and writes from there: Str must
  // stay alive and unchanged until the write completes.
  int32_t WriteStrAsync(std::u16string& Str, PAsync& AsyncPtr);
  int32_t WriteAnsiStrAsync(const std::string& Str, PAsync& AsyncPtr);
  int32_t ReadStrAsync(std::string& Str, int32_t Count, PAsync& AsyncPtr);
  int32_t ReadStr(std::u16string& Str, int32_t Count);
  int32_t ReadAnsiStr(std::string& Str, int32_t Count);
  int32_t ReadUnicodeString(std::u16string& Str, int32_t Count);
  // Waits for comm events on a port without an event thread (refused with error 20 while one
  // runs). Events holds the events to wait for and, on return, those that occurred (empty after
  // the time-out or the stop signal). Timeout in ms, -1 for none.
  void WaitForEvent(TComEvents& Events, const device::StopSignal* StopEvent, int32_t Timeout);

  // --- the error routine: throws EComPort, or calls OnException and returns.
  void RaiseComError(TComExceptions Kind, int64_t OSCode, const std::string& OSText = {});

  // --- handlers
  TRxCharEvent OnRxChar;
  TRxBufEvent OnRxBuf;
  TNotifyEvent OnTxEmpty, OnBreak, OnRing;
  TComSignalEvent OnCTSChange, OnDSRChange, OnRLSDChange;
  TComErrorEvent OnError;
  TNotifyEvent OnRxFlag, OnAfterOpen, OnAfterClose, OnBeforeOpen, OnBeforeClose, OnRx80Full;
  TComExceptionEvent OnException;

  // --- event dispatch (called on the thread the SyncMethod names; see TComThread).
  // Runs the steps of one batch in their fixed order; stops early when the port closed or the
  // batch belongs to an earlier opening.
  void RunEventHandlers(TComEvents events, uint64_t generation);
  // The step for one OS mask bit, as the hidden window runs it for smWindowSync.
  void PortWindowProc(uint32_t mask_bit, uint64_t generation);
  // The event thread found the device gone, or a step it handed over raised (`cause`): either
  // way no further events would arrive, so the port closes the way a vanished device closes it
  // (no line reports, no abort of transfers) and the failure is reported: "Port Disconnected"
  // for a gone device (also when a step failed because the device had gone), else `cause`
  // itself, rethrown. A cause from an opening that has since closed is rethrown alone. Runs on
  // the owner's thread; the one place where an open port is lost without the owner asking.
  void DeviceLost(uint64_t generation, std::exception_ptr cause = nullptr);
  uint64_t Generation() const { return FGeneration; }

 protected:
  virtual void CreatePortHandle();
  virtual void DestroyPortHandle();
  virtual void DoAfterClose();
  virtual void DoAfterOpen();
  virtual void DoBeforeClose();
  virtual void DoBeforeOpen();
  virtual void DoRxChar(int32_t Count);
  virtual void DoRxBuf(const uint8_t* Buffer, int32_t Count);
  virtual void DoTxEmpty();
  virtual void DoBreak();
  virtual void DoRing();
  virtual void DoRxFlag();
  virtual void DoCTSChange(bool OnOff);
  virtual void DoDSRChange(bool OnOff);
  virtual void DoError(TComErrors Errors);
  virtual void DoRLSDChange(bool OnOff);
  virtual void DoRx80Full();

  void ProcessError();
  void ProcessRxChar();
  void ProcessTxEmpty();
  void ProcessBreak();
  void ProcessRing();
  void ProcessCTSChange();
  void ProcessDSRChange();
  void ProcessRxFlag();
  void ProcessRLSDChange();
  void ProcessRx80Full();

 private:
  friend class TComThread;
  bool ApplyGateOpen() const;
  void CloseInternal(bool device_gone);
  void DestroyEventThread();
  void JoinRetiredThreads(bool all);
  void ReportDeviceError(TComExceptions kind, const device::Error& error);
  device::Error CallDevice(const std::function<device::Error(device::Device&)>& call);
  device::CommStatus CommStatus();
  void Escape(uint32_t function);
  // Calls f for every registered link, first to last. A handler may register or unregister
  // links; the walk goes over the list as it was.
  template <typename F>
  void ForEachLink(F&& f) {
    if (FLinks.empty()) return;
    const std::vector<TComLink*> links = FLinks;
    for (TComLink* link : links) f(*link);
  }
  void RecomputeHasLink();

  TComOwner* const FOwner;
  std::string FName;
  TComponentState FComponentState;
  std::unique_ptr<TComThread> FEventThread;
  std::vector<std::unique_ptr<TComThread>> FRetiredThreads;
  bool FThreadCreated = false;
  std::unique_ptr<device::Device> FHandle;
  std::shared_ptr<TPortWindow> FWindow;
  int32_t FUpdateCount = 0;
  std::vector<TComLink*> FLinks;
  bool FTriggersOnRxChar = true;
  int32_t FRxEventInterval = DefaultRxEventInterval;
  TThreadPriority FEventThreadPriority = tpNormal;
  bool FHasLink = false;
  bool FConnected = false;
  TLineProperties FLine;
  std::string FPort = "COM1";
  TComEvents FEvents = AllComEvents;
  TComEvents FOpenEvents;  // Events as the open port watches them (a change waits for the next Open)
  std::unique_ptr<TComBuffer> FBuffer;
  std::unique_ptr<TComParity> FParity;
  std::unique_ptr<TComTimeouts> FTimeouts;
  std::unique_ptr<TComFlowControl> FFlowControl;
  TSyncMethod FSyncMethod = smThreadSync;
  TStoredProps FStoredProps = {spBasic};
  uint32_t FCodePage = 0;
  TPortPathResolver FPortPathResolver;
  // Line errors (CE_* bits) taken from the device by a queue count and not yet reported by
  // LastErrors. Atomic: with smNone the event thread's steps and the owner's own queries take
  // errors at the same time.
  std::atomic<uint32_t> FPendingErrors{0};
  // Counts openings and closings, so steps queued for an earlier opening can tell they are stale.
  uint64_t FGeneration = 0;
};

// The port as the window holds it; no behaviour of its own.
class TComPort : public TCustomComPort {
 public:
  using TCustomComPort::TCustomComPort;
};

}  // namespace quarlex
