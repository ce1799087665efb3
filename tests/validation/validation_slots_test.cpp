// The in-process count of validations: its limit exactly, and on many
// threads at once never one holder more (run under ThreadSanitizer too).
#include "validation/validation_slots.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

namespace turnpike {
namespace {

TEST(InProcessValidationSlots, GivesExactlyTheLimitAndTakesSlotsBack) {
  InProcessValidationSlots slots;
  EXPECT_FALSE(ValidationSlot(slots, 0));
  {
    const ValidationSlot first(slots, 2);
    const ValidationSlot second(slots, 2);
    const ValidationSlot third(slots, 2);
    EXPECT_TRUE(first && second);
    EXPECT_FALSE(third) << "the limit is reached";
    EXPECT_TRUE(ValidationSlot(slots, 3)) << "a higher limit has room";
  }
  // Only given slots come back: the refused third took nothing.
  const ValidationSlot a(slots, 2), b(slots, 2), c(slots, 2);
  EXPECT_TRUE(a && b);
  EXPECT_FALSE(c);
}

TEST(InProcessValidationSlots, NeverHasMoreHoldersThanTheLimitOnManyThreads) {
  constexpr std::uint32_t kLimit = 3;
  InProcessValidationSlots slots;
  std::atomic<int> inside{0};
  std::atomic<int> most{0};
  std::atomic<int> given{0};
  std::atomic<bool> go{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&] {
      while (!go) std::this_thread::yield();  // all at once, not one after the other
      for (int round = 0; round < 2000; ++round) {
        const ValidationSlot slot(slots, kLimit);
        if (!slot) continue;
        ++given;
        const int now = ++inside;
        int seen = most.load();
        while (now > seen && !most.compare_exchange_weak(seen, now)) {
        }
        std::this_thread::yield();  // held a while, as a validation is
        --inside;
      }
    });
  }
  go = true;
  for (std::thread& thread : threads) thread.join();
  EXPECT_LE(most.load(), static_cast<int>(kLimit));
  EXPECT_GT(given.load(), 0);
  // Every slot came back.
  const ValidationSlot a(slots, kLimit), b(slots, kLimit), c(slots, kLimit);
  EXPECT_TRUE(a && b && c);
}

}  // namespace
}  // namespace turnpike
