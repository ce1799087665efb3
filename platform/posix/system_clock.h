// SystemClock: the system's real-time clock in the filter's time values.
#pragma once

#include "platform/clock.h"

namespace turnpike {

// Milliseconds since 1970 in UTC, converted to 100-ns units since 1601, so
// that every value is a whole number of milliseconds as on Windows.
class SystemClock final : public Clock {
 public:
  TimeValue Now() const noexcept override;
};

// 100-ns units between 1601-01-01 and 1970-01-01.
inline constexpr TimeValue kUnixEpochAsTimeValue = 116'444'736'000'000'000;

}  // namespace turnpike
