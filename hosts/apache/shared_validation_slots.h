// SharedValidationSlots: the validations running in all of Apache's child
// processes, counted in memory they share.
//
// The parent makes the memory in post_config (anonymous shared memory in the
// configuration pool) before it forks, so every child of that generation
// inherits it and no other process can reach it. Each child takes an entry of
// its own in child_init and counts its validations there. A slot is taken by
// adding one to the child's entry and then summing every entry, and given
// back at once when the sum is past the limit: with sequentially consistent
// atomics, of any number of racing takers the last to add sees every other
// addition, so more than the limit never hold a slot at once. Two takers
// racing for the last slot may both be refused; their browsers go to log in
// again, as at the limit.
//
// A child that dies holding slots (a crash, a kill) cannot give them back
// itself. The MPM tells the parent of every child that exits (the
// child_status hook); ChildExited then clears that child's entry and frees
// it for a later child, so the slots come back as soon as the parent has
// reaped it. A child that finds no free entry (more children of one
// generation alive than the table was made for) counts in one entry shared
// by all such children, which no exit clears.
//
// A graceful restart starts a new generation with new memory: until the old
// generation's children have finished, their validations are counted apart
// from the new ones.
//
// Threads: TryAcquire and Release may run on any of a child's threads at
// once. AttachChild runs in the child before its first request, ChildExited
// in the parent only.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "hosts/apache/apache_headers.h"
#include "validation/validation_slots.h"

namespace turnpike {

class SharedValidationSlots final : public ValidationSlots {
 public:
  // Makes the entries for up to `children` children in memory shared with
  // every child forked after it, released with `pool`. APR_SUCCESS, or why
  // the memory could not be made.
  apr_status_t Create(std::size_t children, apr_pool_t* pool) noexcept;

  // In a child: takes an entry for the process `pid`.
  void AttachChild(pid_t pid) noexcept;

  // In the parent: the child `pid` has exited; what it held comes back.
  void ChildExited(pid_t pid) noexcept;

  bool TryAcquire(std::uint32_t limit) noexcept override;
  void Release() noexcept override;

 private:
  struct Entry {
    std::atomic<pid_t> owner{0};  // 0: free
    std::atomic<std::uint32_t> held{0};
  };
  // They live in memory that several processes map.
  static_assert(std::atomic<pid_t>::is_always_lock_free &&
                std::atomic<std::uint32_t>::is_always_lock_free);

  Entry& Own() noexcept { return own_ != nullptr ? *own_ : entries_[children_]; }

  Entry* entries_ = nullptr;  // `children_` entries to own, then the shared one
  std::size_t children_ = 0;
  Entry* own_ = nullptr;  // this child's, after AttachChild
};

}  // namespace turnpike
