// The reader of times files (<name>.idx) on arbitrary input: whatever it accepts must describe
// only the loaded bytes, in order, and a refused file must leave the index as it was.
#include <cstdlib>
#include <string_view>

#include "tools/times_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using quarlex::TimeIndex;
  // A small table, so that merging on restore is reached too.
  TimeIndex index(16, 8);
  index.AddBatch(0, 3, quarlex::Direction::Sent, 1);
  constexpr uint32_t loaded = 600;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const quarlex::TimesLoad r = quarlex::LoadTimesText(text, 1000, loaded, index);
  if (!r.ok && (index.BatchCount() != 1 || index.Batch(0).Count != 3)) std::abort();
  uint64_t end = 0;
  for (size_t i = 0; i < index.BatchCount(); ++i) {
    const quarlex::TimedBatch b = index.Batch(i);
    if (b.Count == 0 || b.Position < end || uint64_t{b.Position} + b.Count > loaded) std::abort();
    end = uint64_t{b.Position} + b.Count;
  }
  for (size_t i = 0; i < index.EventCount(); ++i) {
    if (index.Event(i).Position > loaded) std::abort();
  }
  return 0;
}
