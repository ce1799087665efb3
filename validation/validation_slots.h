// ValidationSlots: how many ticket validations may run at once.
//
// A validation holds the request's thread (under Apache's prefork, its whole
// process) until the CAS server answers or the validation time-out ends it.
// Without a bound, a CAS server that hangs lets browsers carrying tickets,
// real or made up, take every worker of the web server, and pages that need
// no sign-on at all wait behind them. So the decision takes a slot before it
// validates and gives it back afterwards (ValidationSlot below), and a ticket
// that finds every slot taken is not validated at all.
//
// An implementation counts across everything that serves the site: the
// in-process counter below where that is one process (IIS, the tools), memory
// shared by all of Apache's children in hosts/apache. The limit is passed on
// every call, so that a counter made before the settings were loaded needs
// no setting. TryAcquire and Release may run on any number of threads at
// once, and never block.
#pragma once

#include <atomic>
#include <cstdint>
#include <utility>

namespace turnpike {

class ValidationSlots {
 public:
  virtual ~ValidationSlots() = default;

  // Takes a slot when fewer than `limit` are taken. True: the caller holds
  // one and gives it back with Release, exactly once. A counter may refuse
  // when two callers race for the last slot; it never lets more than `limit`
  // hold one.
  virtual bool TryAcquire(std::uint32_t limit) noexcept = 0;

  // Gives back a slot that TryAcquire gave.
  virtual void Release() noexcept = 0;
};

// One slot, held from construction until the holder ends, when it was given.
// Moving hands the slot on: a request that waits for its validation keeps it
// across the two steps of the decision.
class ValidationSlot {
 public:
  ValidationSlot(ValidationSlots& slots, std::uint32_t limit) noexcept
      : slots_(slots.TryAcquire(limit) ? &slots : nullptr) {}
  ~ValidationSlot() {
    if (slots_ != nullptr) slots_->Release();
  }
  ValidationSlot(ValidationSlot&& other) noexcept : slots_(std::exchange(other.slots_, nullptr)) {}
  ValidationSlot& operator=(ValidationSlot&&) = delete;
  ValidationSlot(const ValidationSlot&) = delete;
  ValidationSlot& operator=(const ValidationSlot&) = delete;

  // True when a slot was given.
  explicit operator bool() const noexcept { return slots_ != nullptr; }

 private:
  ValidationSlots* slots_;
};

// The count in this process's memory, for a server that is one process.
class InProcessValidationSlots final : public ValidationSlots {
 public:
  bool TryAcquire(std::uint32_t limit) noexcept override;
  void Release() noexcept override;

 private:
  std::atomic<std::uint32_t> taken_{0};
};

}  // namespace turnpike
