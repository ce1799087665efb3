#include "hosts/apache/shared_validation_slots.h"

#include <memory>

namespace turnpike {

apr_status_t SharedValidationSlots::Create(std::size_t children, apr_pool_t* pool) noexcept {
  apr_shm_t* memory = nullptr;
  // No file name: anonymous memory, inherited across fork only.
  const apr_status_t status = apr_shm_create(&memory, (children + 1) * sizeof(Entry), nullptr, pool);
  if (status != APR_SUCCESS) return status;
  entries_ = static_cast<Entry*>(apr_shm_baseaddr_get(memory));
  std::uninitialized_value_construct_n(entries_, children + 1);
  children_ = children;
  own_ = nullptr;
  return APR_SUCCESS;
}

void SharedValidationSlots::AttachChild(pid_t pid) noexcept {
  for (std::size_t i = 0; i < children_; ++i) {
    pid_t free = 0;
    if (entries_[i].owner.compare_exchange_strong(free, pid)) {
      own_ = &entries_[i];
      return;
    }
  }
}

void SharedValidationSlots::ChildExited(pid_t pid) noexcept {
  for (std::size_t i = 0; i < children_; ++i) {
    if (entries_[i].owner.load() != pid) continue;
    // Cleared before it is freed, so that the next owner starts from none.
    entries_[i].held.store(0);
    entries_[i].owner.store(0);
    return;
  }
}

bool SharedValidationSlots::TryAcquire(std::uint32_t limit) noexcept {
  Entry& own = Own();
  own.held.fetch_add(1);
  std::uint64_t taken = 0;
  for (std::size_t i = 0; i <= children_; ++i) taken += entries_[i].held.load();
  if (taken <= limit) return true;
  own.held.fetch_sub(1);
  return false;
}

void SharedValidationSlots::Release() noexcept { Own().held.fetch_sub(1); }

}  // namespace turnpike
