// Moving bytes through an open port: the synchronous and asynchronous transfers, their text
// variants, cancellation and completion, and WaitForEvent.
#include <algorithm>
#include <cstring>

#include "serial/comport.h"
#include "text/utf16.h"

namespace quarlex {

using enum TComExceptions;

namespace {

// A transfer that could not start because the device has gone reports access denied.
bool GoneAtStart(const device::Error& e) {
  return e.kind == device::ErrorKind::kGone || e.win_code == device::kWinAccessDenied;
}

// Counts are 32-bit signed; a negative one moves nothing rather than a huge unsigned count.
uint32_t ByteCount(int32_t count) {
  return count > 0 ? static_cast<uint32_t>(count) : 0u;
}

// Creates a record, runs `body` with it and destroys the record whatever happens.
template <typename F>
int32_t WithAsync(F&& body) {
  PAsync async = nullptr;
  CreateAsync(async);
  try {
    const int32_t result = body(async);
    DestroyAsync(async);
    return result;
  } catch (...) {
    DestroyAsync(async);
    throw;
  }
}

}  // namespace

void CreateAsync(PAsync& AsyncPtr) {
  AsyncPtr = new TAsync;
}

void DestroyAsync(PAsync& AsyncPtr) {
  delete AsyncPtr;  // the record's Transfer cancels an operation still pending
  AsyncPtr = nullptr;
}

namespace {
void SetAsyncPayload(TAsync& async, TOperationKind kind, const void* buffer, int32_t count) {
  async.Kind = kind;
  async.Data.reset();
  async.Size = 0;
  const uint32_t n = ByteCount(count);
  async.Data = std::make_unique<uint8_t[]>(n);
  if (n) std::memcpy(async.Data.get(), buffer, n);
  async.Size = static_cast<int32_t>(n);
}

}  // namespace

int32_t TCustomComPort::WriteAsync(const void* Buffer, int32_t Count, PAsync& AsyncPtr) {
  if (!AsyncPtr) {
    RaiseComError(CE_InvalidAsync, 0);
    return 0;
  }
  if (!FHandle) RaiseComError(CEPortNotOpen, PortNotOpenOSCode);
  SetAsyncPayload(*AsyncPtr, okWrite, Buffer, Count);
  uint32_t now = 0;
  // Written from the caller's buffer, not the copy: the copy is for the links.
  const device::Error e = CallDevice([&](device::Device& d) {
    return d.StartWrite(static_cast<const uint8_t*>(Buffer), ByteCount(Count), AsyncPtr->Overlapped, now);
  });
  if (e) {
    if (FHandle && GoneAtStart(e)) {
      CloseInternal(true);
      RaiseComError(CE_PortDisconnected, 0);
    } else {
      ReportDeviceError(CE_WriteFailed, e);
    }
    return 0;  // a write that never started tells no link it did
  }
  ForEachLink([&](TComLink& l) {
    if (l.OnTx) l.OnTx(this, true);
  });
  return static_cast<int32_t>(now);
}

int32_t TCustomComPort::ReadAsync(void* Buffer, int32_t Count, PAsync& AsyncPtr) {
  if (!AsyncPtr) {
    RaiseComError(CE_InvalidAsync, 0);
    return 0;
  }
  AsyncPtr->Kind = okRead;
  if (!FHandle) RaiseComError(CEPortNotOpen, PortNotOpenOSCode);
  uint32_t now = 0;
  const device::Error e = CallDevice([&](device::Device& d) {
    return d.StartRead(static_cast<uint8_t*>(Buffer), ByteCount(Count), AsyncPtr->Overlapped, now);
  });
  if (e) {
    if (FHandle && GoneAtStart(e)) {
      CloseInternal(true);
      RaiseComError(CE_PortDisconnected, 0);
    } else {
      ReportDeviceError(CE_ReadFailed, e);
    }
    return 0;
  }
  return static_cast<int32_t>(now);
}

int32_t TCustomComPort::WaitForAsync(PAsync& AsyncPtr) {
  if (!FConnected) return 0;
  if (!AsyncPtr) {
    RaiseComError(CE_InvalidAsync, 0);
    return 0;
  }
  // A record that no transfer was started on (a read of 0 bytes, a start that failed and was
  // reported already) has nothing to complete.
  if (!AsyncPtr->Overlapped.Started()) return 0;
  uint32_t bytes = 0;
  device::Error e;
  if (!AsyncPtr->Overlapped.Wait(bytes, e)) {
    if (e.kind == device::ErrorKind::kGone) {
      // Unlike a transfer that could not start (access denied), a completion that finds the
      // device gone closes the ordinary way: the lines go off and other transfers are aborted.
      Close();
      RaiseComError(CE_PortDisconnected, 0);
    } else {
      ReportDeviceError(AsyncPtr->Kind == okWrite ? CE_WriteFailed : CE_ReadFailed, e);
    }
    return 0;
  }
  if (AsyncPtr->Kind == okRead) {
    // Only links that watch OnRx need the queue count (which also consumes the error word).
    const bool watched = std::any_of(FLinks.begin(), FLinks.end(),
                                     [](const TComLink* l) { return static_cast<bool>(l->OnRx); });
    if (watched && InputCount() == 0)
      ForEachLink([&](TComLink& l) {
        if (l.OnRx) l.OnRx(this, false);
      });
  } else if (AsyncPtr->Data) {
    // Only a completed write reports bytes as sent; a read reusing the record does not repeat an
    // earlier write's copy.
    const uint8_t* data = AsyncPtr->Data.get();
    const int32_t size = AsyncPtr->Size;
    ForEachLink([&](TComLink& l) {
      if (l.OnTxBuf) l.OnTxBuf(this, data, size);
    });
  }
  return static_cast<int32_t>(bytes);
}

bool TCustomComPort::IsAsyncCompleted(PAsync AsyncPtr) {
  if (!AsyncPtr) {
    RaiseComError(CE_InvalidAsync, 0);
    return false;
  }
  uint32_t bytes = 0;
  device::Error e;
  const bool done = AsyncPtr->Overlapped.Check(bytes, e);
  if (!done && e.win_code != device::kWinIoPending && e.win_code != device::kWinIoIncomplete)
    ReportDeviceError(CE_AsyncCheck, e);
  return done;
}

void TCustomComPort::AbortAllAsync() {
  const device::Error e =
      CallDevice([](device::Device& d) { return d.Purge(device::PURGE_TXABORT | device::PURGE_RXABORT); });
  // A device that has gone has nothing left to abort; Close must still get through.
  if (e && e.win_code != device::kWinAccessDenied && e.kind != device::ErrorKind::kGone)
    ReportDeviceError(CE_PurgeFailed, e);
}

int32_t TCustomComPort::Write(const void* Buffer, int32_t Count) {
  return WithAsync([&](PAsync& a) {
    WriteAsync(Buffer, Count, a);
    return WaitForAsync(a);
  });
}

int32_t TCustomComPort::Read(void* Buffer, int32_t Count) {
  return WithAsync([&](PAsync& a) {
    ReadAsync(Buffer, Count, a);
    return WaitForAsync(a);
  });
}

int32_t TCustomComPort::ReadTimed(void* Buffer, int32_t Count, std::vector<device::RxChunk>& Chunks) {
  Chunks.clear();
  if (!FHandle) RaiseComError(CEPortNotOpen, PortNotOpenOSCode);
  uint32_t got = 0;
  const device::Error e = CallDevice([&](device::Device& d) {
    return d.ReadQueuedTimed(static_cast<uint8_t*>(Buffer), ByteCount(Count), got, Chunks);
  });
  if (e) {
    if (FHandle && GoneAtStart(e)) {
      CloseInternal(true);
      RaiseComError(CE_PortDisconnected, 0);
    } else {
      ReportDeviceError(CE_ReadFailed, e);
    }
    return 0;
  }
  // As a completed Read: links that watch OnRx learn when the queue ran empty.
  const bool watched =
      std::any_of(FLinks.begin(), FLinks.end(), [](const TComLink* l) { return static_cast<bool>(l->OnRx); });
  if (watched && InputCount() == 0)
    ForEachLink([&](TComLink& l) {
      if (l.OnRx) l.OnRx(this, false);
    });
  return static_cast<int32_t>(got);
}

// --- text variants

int32_t TCustomComPort::WriteStr(const std::u16string& Str) {
  if (Str.empty()) return 0;
  std::string bytes(Str.size(), '\0');
  for (size_t i = 0; i < Str.size(); ++i) bytes[i] = static_cast<char>(Str[i] & 0xFF);
  return Write(bytes.data(), static_cast<int32_t>(bytes.size()));
}

int32_t TCustomComPort::WriteAnsiStr(const std::string& Str) {
  if (Str.empty()) return 0;
  return Write(Str.data(), static_cast<int32_t>(Str.size()));
}

int32_t TCustomComPort::WriteUnicodeString(const std::u16string& Str) {
  const std::string bytes = EncodeUtf16(Str, FCodePage);
  return Write(bytes.data(), static_cast<int32_t>(bytes.size()));
}

int32_t TCustomComPort::WriteStrAsync(std::u16string& Str, PAsync& AsyncPtr) {
  if (Str.empty()) return 0;
  // Packed in place: byte i of the string's storage takes the low 8 bits of unit i. Going front
  // to back never overwrites a unit before it has been read (byte i lies in unit i/2 <= i).
  auto* storage = reinterpret_cast<uint8_t*>(Str.data());
  for (size_t i = 0; i < Str.size(); ++i) storage[i] = static_cast<uint8_t>(Str[i] & 0xFF);
  return WriteAsync(storage, static_cast<int32_t>(Str.size()), AsyncPtr);
}

int32_t TCustomComPort::WriteAnsiStrAsync(const std::string& Str, PAsync& AsyncPtr) {
  if (Str.empty()) return 0;
  return WriteAsync(Str.data(), static_cast<int32_t>(Str.size()), AsyncPtr);
}

int32_t TCustomComPort::ReadStrAsync(std::string& Str, int32_t Count, PAsync& AsyncPtr) {
  Str.assign(ByteCount(Count), '\0');
  if (Count <= 0) return 0;
  return ReadAsync(Str.data(), Count, AsyncPtr);
}

int32_t TCustomComPort::ReadStr(std::u16string& Str, int32_t Count) {
  std::string temp;
  const int32_t got = WithAsync([&](PAsync& a) {
    ReadStrAsync(temp, Count, a);
    return WaitForAsync(a);
  });
  temp.resize(std::min<size_t>(temp.size(), ByteCount(got)));
  Str.assign(temp.size(), u'\0');
  for (size_t i = 0; i < temp.size(); ++i) Str[i] = static_cast<char16_t>(static_cast<uint8_t>(temp[i]));
  return got;
}

int32_t TCustomComPort::ReadAnsiStr(std::string& Str, int32_t Count) {
  return WithAsync([&](PAsync& a) {
    ReadStrAsync(Str, Count, a);
    return WaitForAsync(a);
  });
}

int32_t TCustomComPort::ReadUnicodeString(std::u16string& Str, int32_t Count) {
  std::string temp;
  const int32_t got = WithAsync([&](PAsync& a) {
    ReadStrAsync(temp, Count, a);
    return WaitForAsync(a);
  });
  const size_t n = std::min<size_t>(temp.size(), ByteCount(got));
  Str = DecodeToUtf16(reinterpret_cast<const uint8_t*>(temp.data()), n, FCodePage);
  return static_cast<int32_t>(Str.size());
}

// --- WaitForEvent

void TCustomComPort::WaitForEvent(TComEvents& Events, const device::StopSignal* StopEvent, int32_t Timeout) {
  if (FThreadCreated) {
    // Both would wait on the same device's event mask, so there is no wait to go on with when an
    // installed OnException returns: nothing has occurred.
    RaiseComError(CE_ThreadCreated, 0);
    Events = {};
    return;
  }
  uint32_t occurred = 0;
  device::Error e = CallDevice([&](device::Device& d) {
    device::Error r = d.SetEventMask(EventsToMask(Events));
    if (!r) r = d.WaitEvents(occurred, StopEvent, Timeout < 0 ? -1 : Timeout);
    // Mask 0 also ends a comm wait the time-out left pending.
    d.SetEventMask(0);
    return r;
  });
  if (e) ReportDeviceError(CE_WaitFailed, e);
  Events = MaskToEvents(e ? 0 : occurred);
}

}  // namespace quarlex
