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

size_t CaptureStore::AppendReceived(const uint8_t* data, size_t count, bool sentBit) {
  size_t n = count < ReceiveRoom() ? count : ReceiveRoom();
  if (n == 0) return 0;
  std::memcpy(CaptureBuffer + writeIndex_, data, n);
  if (sentBit)
    for (size_t i = 0; i < n; ++i) CaptureAttributes[writeIndex_ + i] |= AttrSent;
  writeIndex_ = static_cast<uint32_t>(writeIndex_ + n);
  if (writeIndex_ == CaptureSize) captureFull_ = true;
  return n;
}

void CaptureStore::LoadBytes(uint32_t length) {
  writeIndex_ = length < CaptureSize ? length : CaptureSize;
  captureFull_ = writeIndex_ == CaptureSize;
  FullRingLoaded = captureFull_;
  View.SetLastRow(writeIndex_ / BytesPerRow);
}

void CaptureStore::ScrollUpdate() {
  if (writeIndex_ < ScrollSeenIndex) {
    View.ShowRow(ViewPosition::FollowTopRow(writeIndex_, BytesPerRow).value_or(0));
  }
  ScrollSeenIndex = writeIndex_;
  if (BytesPerRow == 16) {
    View.SetLastRow(writeIndex_ >> 4);
  } else if (BytesPerRow == 32) {
    View.SetLastRow(writeIndex_ >> 5);
  }
  if (AutoScroll && View.WriteRowReachedFollowPoint(writeIndex_, BytesPerRow)) {
    View.FollowEnd(writeIndex_, BytesPerRow);
  }
}

void CaptureStore::ClearStorage() {
  std::memset(CaptureBuffer, 0, CaptureSize);
  std::memset(CaptureAttributes, 0, CaptureSize);
  std::memset(MiniMapRows, 0, sizeof MiniMapRows);
  std::memset(ValueHighlight, 0, sizeof ValueHighlight);
  captureFull_ = false;
  FullRingLoaded = false;
  MiniMapBuiltAt = 0;
  writeIndex_ = 0;
  savedUpTo_ = 0;
  ScrollSeenIndex = 0;
  SearchedUpTo = 0;
  View.Reset();
  Times.Clear();
}

}  // namespace quarlex
