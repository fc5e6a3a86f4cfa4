#include "app/capture_store.h"

#include <cstdlib>
#include <cstring>
#include <new>

namespace quarlex {

namespace {
uint8_t* ZeroedRing() {
  // calloc of a large block maps fresh zero pages: no 32 MiB memset at start-up.
  void* p = std::calloc(CaptureSize, 1);
  if (!p) throw std::bad_alloc();
  return static_cast<uint8_t*>(p);
}
}  // namespace

CaptureStore::CaptureStore()
    : CaptureBufferMem(ZeroedRing(), std::free),
      CaptureAttributesMem(ZeroedRing(), std::free),
      CaptureBuffer(CaptureBufferMem.get()),
      CaptureAttributes(CaptureAttributesMem.get()),
      ReceiveStaging(new uint8_t[ReceiveStagingSize]()) {}

size_t CaptureStore::AppendReceived(const uint8_t* data, size_t count) {
  size_t n = count < ReceiveRoom() ? count : ReceiveRoom();
  if (n == 0) return 0;
  std::memcpy(CaptureBuffer + WriteIndex, data, n);
  WriteIndex = static_cast<uint32_t>(WriteIndex + n);
  if (WriteIndex == CaptureSize) CaptureFull = 1;
  return n;
}

void CaptureStore::LoadBytes(uint32_t length) {
  WriteIndex = length < CaptureSize ? length : CaptureSize;
  CaptureFull = WriteIndex == CaptureSize ? 1 : 0;
  FullRingLoaded = CaptureFull;
  View.SetLastRow(WriteIndex / BytesPerRow);
}

void CaptureStore::ScrollUpdate() {
  if (WriteIndex < ScrollSeenIndex) {
    View.ShowRow(ViewPosition::FollowTopRow(WriteIndex, BytesPerRow).value_or(0));
  }
  ScrollSeenIndex = WriteIndex;
  if (BytesPerRow == 16) {
    View.SetLastRow(WriteIndex >> 4);
  } else if (BytesPerRow == 32) {
    View.SetLastRow(WriteIndex >> 5);
  }
  if (AutoScroll && View.WriteRowReachedFollowPoint(WriteIndex, BytesPerRow)) {
    View.FollowEnd(WriteIndex, BytesPerRow);
  }
}

void CaptureStore::ClearStorage() {
  std::memset(CaptureBuffer, 0, CaptureSize);
  std::memset(CaptureAttributes, 0, CaptureSize);
  std::memset(MiniMapRows, 0, sizeof MiniMapRows);
  std::memset(ValueHighlight, 0, sizeof ValueHighlight);
  CaptureFull = 0;
  FullRingLoaded = 0;
  MiniMapBuiltAt = 0;
  WriteIndex = 0;
  SavedUpTo = 0;
  ScrollSeenIndex = 0;
  SearchedUpTo = 0;
  View.Reset();
  Times.Clear();
}

}  // namespace quarlex
