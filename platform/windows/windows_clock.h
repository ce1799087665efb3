// WindowsClock: the system time in UTC, GetSystemTime converted with
// SystemTimeToFileTime, so every value is a whole number of milliseconds.
//
// The filter compares time values as unsigned 64-bit integers. For FILETIMEs
// whose high word is below 0x80000000 (every date before the year 30828,
// and all that SystemTimeToFileTime produces) that is exactly the order
// CompareFileTime gives, so no FILETIME is kept and CompareFileTime is not
// called. Thread-safe.
#pragma once

#include "platform/clock.h"

namespace turnpike {

class WindowsClock final : public Clock {
 public:
  TimeValue Now() const noexcept override;
};

}  // namespace turnpike
