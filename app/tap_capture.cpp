#include "app/tap_capture.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <utility>

#include "app/session.h"

namespace quarlex {

TapCapture::TapCapture(Session& session, Clock& clock, std::string nameA, std::string nameB,
                       int64_t holdBackNs)
    : session_(session), clock_(clock), merger_(holdBackNs) {
  sides_[0].name = std::move(nameA);
  sides_[1].name = std::move(nameB);
  merger_.SetSilent(TapSide::A, true);
  merger_.SetSilent(TapSide::B, true);
}

void TapCapture::SetSource(TapSide side, ReceiveSource* source) {
  Side& s = sides_[Index(side)];
  s.source = source;
  if (source != nullptr) s.lost = false;
  // A closed side is not waited for; an open one is, from its first pass on.
  merger_.SetSilent(side, source == nullptr);
}

void TapCapture::Lost(TapSide side) {
  Side& s = sides_[Index(side)];
  s.source = nullptr;
  merger_.SetSilent(side, true);
  if (s.lost) return;
  s.lost = true;
  CaptureStore& store = session_.Store;
  store.Times.AddEvents(store.WriteIndex(), Bits(LineEvent::Disconnect), session_.ArrivalTimeNs());
  const Side& other = sides_[1 - Index(side)];
  session_.ShowMessage(
      other.source != nullptr ? s.name + " lost; " + other.name + " keeps recording" : s.name + " lost",
      ErrorColour, 0);
}

bool TapCapture::Take(TapSide side, int64_t nowNs) {
  ReceiveSource* source = sides_[Index(side)].source;
  const size_t queued = source->QueuedCount();
  // Bytes the ring could not take yet stay in the port's queue, where they keep their times.
  const size_t room = session_.Store.ReceiveRoom();
  const size_t pending = merger_.Pending();
  size_t want = std::min(queued, room > pending ? room - pending : 0);
  const bool emptied = want == queued;
  uint8_t* staging = session_.Store.ReceiveStaging.get();
  while (want > 0) {
    const size_t n = std::min(want, ReceiveStagingSize);
    source->ReadQueued(staging, n, chunks_);
    want -= n;
    // Bytes whose source gave no time count as read now.
    const size_t timedFrom = chunks_.empty() ? n : std::min(chunks_.front().Offset, n);
    if (timedFrom > 0) merger_.Add(side, staging, timedFrom, nowNs);
    for (size_t i = 0; i < chunks_.size(); ++i) {
      const size_t begin = std::min(chunks_[i].Offset, n);
      const size_t end = i + 1 < chunks_.size() ? std::min(chunks_[i + 1].Offset, n) : n;
      if (end > begin) merger_.Add(side, staging + begin, end - begin, chunks_[i].MonotonicNs);
    }
  }
  return emptied;
}

size_t TapCapture::Place(TapSide side, const uint8_t* data, size_t count, int64_t monotonicNs) {
  CaptureStore& store = session_.Store;
  const uint32_t from = store.WriteIndex();
  // B's bytes wear the sent bit, but they arrived: like received bytes they stop at the end of
  // the ring instead of wrapping over bytes that were not saved.
  const size_t n = store.AppendReceived(data, count, side == TapSide::B);
  if (n == 0) return 0;
  session_.Captured(from, n);
  store.RxBytesSinceTick += static_cast<uint32_t>(n);
  store.Times.AddBatch(from, static_cast<uint32_t>(n),
                       side == TapSide::A ? Direction::Received : Direction::Sent,
                       session_.ArrivalTimeOf(monotonicNs));
  return n;
}

TapCapture::PassResult TapCapture::Pass() {
  PassResult result;
  const int64_t now = clock_.MonotonicNs();
  for (const TapSide side : {TapSide::A, TapSide::B}) {
    Side& s = sides_[Index(side)];
    if (s.source == nullptr) continue;
    try {
      if (Take(side, now)) {
        merger_.Heard(side, now - HeardSlackNs);
      } else {
        result.leftQueued = true;
      }
    } catch (...) {
      ReceiveSource* source = s.source;
      Lost(side);
      source->ReadFailed(std::current_exception());
    }
  }
  result.released = merger_.Release(now, [this](TapSide side, const uint8_t* data, size_t count, int64_t t) {
    return Place(side, data, count, t);
  });
  if (session_.Store.CaptureFull() && merger_.Pending() > 0) result.leftQueued = true;
  return result;
}

}  // namespace quarlex
