// The in-process count of validations: on many threads at once never one
// holder more than the limit (run under ThreadSanitizer too).
#include "validation/validation_slots.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

namespace turnpike {
namespace {

TEST(InProcessValidationSlots, NeverHasMoreHoldersThanTheLimitAndTakesEverySlotBack) {
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
  // Every slot came back, and the limit is exact.
  const ValidationSlot a(slots, kLimit), b(slots, kLimit), c(slots, kLimit), d(slots, kLimit);
  EXPECT_TRUE(a && b && c);
  EXPECT_FALSE(d);
}

}  // namespace
}  // namespace turnpike
