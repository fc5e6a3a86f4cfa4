// The device's input queue against a plain reference: bytes leave in the order they came across
// block boundaries, capacity changes and clears, and memory follows the fill level.
#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <random>
#include <vector>

#include "serial/device/device_core.h"

namespace quarlex::device {
namespace {

TEST(ByteQueueTest, KeepsOrderAndCapacityAndHoldsMemoryOnlyWhileFilled) {
  constexpr size_t kBlock = ByteQueue::kBlockSize;
  const size_t capacity = 6 * kBlock + 123;
  ByteQueue q(capacity);
  EXPECT_EQ(q.BlocksAllocated(), 0u);  // a large capacity costs nothing until bytes come
  std::deque<uint8_t> ref;
  std::mt19937 rng(5);
  std::vector<uint8_t> in(5 * kBlock / 2), out(in.size());
  for (int round = 0; round < 300; ++round) {
    const size_t n = rng() % in.size();
    for (size_t i = 0; i < n; ++i) in[i] = static_cast<uint8_t>(rng());
    const size_t pushed = q.Push(in.data(), n);
    ASSERT_EQ(pushed, std::min(n, q.capacity() - ref.size()));
    ref.insert(ref.end(), in.begin(), in.begin() + static_cast<long>(pushed));
    const size_t wanted = rng() % in.size();
    const size_t popped = q.Pop(out.data(), wanted);
    ASSERT_EQ(popped, std::min(wanted, ref.size()));
    ASSERT_TRUE(std::equal(out.begin(), out.begin() + static_cast<long>(popped), ref.begin())) << round;
    ref.erase(ref.begin(), ref.begin() + static_cast<long>(popped));
    ASSERT_EQ(q.size(), ref.size());
    // The blocks the bytes span, one being filled, and at most four kept for reuse.
    ASSERT_LE(q.BlocksAllocated(), ref.size() / kBlock + 2 + 4) << round;
    if (round % 50 == 49) {
      q.SetCapacity(1);  // never below what is queued
      EXPECT_EQ(q.capacity(), ref.size());
      q.SetCapacity(capacity);
    }
    if (round % 70 == 69) {
      q.Clear();
      ref.clear();
      EXPECT_LE(q.BlocksAllocated(), 4u);
    }
  }
}

}  // namespace
}  // namespace quarlex::device
