// Clock: the current time as the filter counts it.
//
// A time value is an unsigned 64-bit count of 100-nanosecond intervals since
// 1601-01-01 00:00 UTC (the Windows FILETIME encoding), read from the system
// clock in UTC and truncated to whole milliseconds. Implementations must be
// callable from any thread at once.
#pragma once

#include <cstdint>

namespace turnpike {

using TimeValue = std::uint64_t;

// One minute in time-value units.
inline constexpr TimeValue kTicksPerMinute = 600'000'000;

class Clock {
 public:
  virtual ~Clock() = default;
  virtual TimeValue Now() const noexcept = 0;
};

}  // namespace turnpike
