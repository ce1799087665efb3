#include "validation/validation_slots.h"

namespace turnpike {

bool InProcessValidationSlots::TryAcquire(std::uint32_t limit) noexcept {
  std::uint32_t taken = taken_.load();
  do {
    if (taken >= limit) return false;
  } while (!taken_.compare_exchange_weak(taken, taken + 1));
  return true;
}

void InProcessValidationSlots::Release() noexcept { taken_.fetch_sub(1); }

}  // namespace turnpike
