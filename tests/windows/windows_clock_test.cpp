// WindowsClock: UTC in 100-ns units since 1601, whole milliseconds, and the
// filter's unsigned 64-bit order of time values agrees with CompareFileTime.
#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <cstdint>

#include "platform/windows/windows_clock.h"

namespace turnpike {
namespace {

// 100-ns units between 1601-01-01 and 1970-01-01.
constexpr TimeValue kUnixEpoch = 116'444'736'000'000'000;

TEST(WindowsClock, IsUtcInWholeMilliseconds) {
  const TimeValue now = WindowsClock().Now();
  EXPECT_EQ(now % 10'000, 0u);
  const auto unix_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                           std::chrono::system_clock::now().time_since_epoch())
                           .count();
  const TimeValue expected = kUnixEpoch + static_cast<TimeValue>(unix_ms) * 10'000;
  const TimeValue distance = now > expected ? now - expected : expected - now;
  EXPECT_LT(distance, 2 * 10'000'000u);  // two seconds
}

FILETIME ToFileTime(TimeValue value) {
  return FILETIME{static_cast<DWORD>(value), static_cast<DWORD>(value >> 32)};
}

TEST(WindowsClock, UnsignedOrderIsCompareFileTimes) {
  const TimeValue now = WindowsClock().Now();
  const TimeValue low_word_full = 0x0000'0001'FFFF'FFFFull;
  const struct { TimeValue a, b; } pairs[] = {
      {now, now},
      {now, now + 1},
      {now + kTicksPerMinute, now},
      {low_word_full, low_word_full + 1},  // the low word wraps, the high word decides
      {0x0000'0002'0000'0000ull, 0x0000'0001'FFFF'FFFFull},
      {0, 1},
      {0x7FFF'FFFF'FFFF'FFFFull, 0x7FFF'FFFF'FFFF'FFFEull},
  };
  for (const auto& pair : pairs) {
    const FILETIME a = ToFileTime(pair.a);
    const FILETIME b = ToFileTime(pair.b);
    const int ours = pair.a < pair.b ? -1 : (pair.a > pair.b ? 1 : 0);
    EXPECT_EQ(CompareFileTime(&a, &b), ours) << pair.a << " vs " << pair.b;
  }
}

}  // namespace
}  // namespace turnpike
