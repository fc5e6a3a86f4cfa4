#pragma once
// Tests and benchmarks that start from a ring in a given state (nearly full, saved up to some
// place) set its counters directly instead of appending 32 MiB first. Program code moves them
// only through the store's operations.
#include "app/capture_store.h"

namespace quarlex {

struct CaptureStoreFields {
  uint32_t& WriteIndex;
  bool& CaptureFull;
  uint32_t& SavedUpTo;
  explicit CaptureStoreFields(CaptureStore& s)
      : WriteIndex(s.writeIndex_), CaptureFull(s.captureFull_), SavedUpTo(s.savedUpTo_) {}
};

inline CaptureStoreFields StoreFields(CaptureStore& s) {
  return CaptureStoreFields(s);
}

}  // namespace quarlex
