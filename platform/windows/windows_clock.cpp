#include "platform/windows/windows_clock.h"

#include <windows.h>

namespace turnpike {

TimeValue WindowsClock::Now() const noexcept {
  SYSTEMTIME now;
  GetSystemTime(&now);
  // The conversion fails only for a calendar time out of range, which the
  // system clock never gives; the zero start keeps the value defined.
  FILETIME file_time{};
  (void)SystemTimeToFileTime(&now, &file_time);
  return (static_cast<TimeValue>(file_time.dwHighDateTime) << 32) | file_time.dwLowDateTime;
}

}  // namespace turnpike
