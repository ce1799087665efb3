// FakeClock: time that moves only when a test moves it.
#pragma once

#include <atomic>

#include "platform/clock.h"

namespace turnpike {

class FakeClock final : public Clock {
 public:
  // 2026-01-01 00:00 UTC, a whole number of milliseconds.
  static constexpr TimeValue kStart = 134'115'264'000'000'000;

  explicit FakeClock(TimeValue now = kStart) : now_(now) {}
  TimeValue Now() const noexcept override { return now_.load(); }
  void Set(TimeValue now) { now_.store(now); }
  void Advance(TimeValue ticks) { now_.fetch_add(ticks); }
  void AdvanceMinutes(TimeValue minutes) { Advance(minutes * kTicksPerMinute); }

 private:
  std::atomic<TimeValue> now_;
};

}  // namespace turnpike
