#include "platform/posix/system_clock.h"

#include <chrono>

namespace turnpike {

TimeValue SystemClock::Now() const noexcept {
  const auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(since_epoch).count();
  return kUnixEpochAsTimeValue + static_cast<TimeValue>(ms) * 10'000;
}

}  // namespace turnpike
