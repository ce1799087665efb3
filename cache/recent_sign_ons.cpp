#include "cache/recent_sign_ons.h"

#include <new>

namespace turnpike {

std::optional<SignOn> RecentSignOns::Find(std::string_view token) noexcept {
  const TimeValue now = clock_.Now();
  std::lock_guard lock(mutex_);
  const auto found = entries_.find(token);
  if (found == entries_.end()) return std::nullopt;
  // A clock that went back makes the entry stale rather than young.
  if (now < found->second.remembered || now - found->second.remembered >= ttl_) {
    entries_.erase(found);
    return std::nullopt;
  }
  try {
    return found->second.sign_on;
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  }
}

void RecentSignOns::Remember(std::string_view token, const SignOn& sign_on) noexcept {
  const TimeValue now = clock_.Now();
  try {
    // The ticket is left out: the caller knows it, and it would be a second
    // copy of the key.
    Entry entry{SignOn{sign_on.user, sign_on.attributes, {}, sign_on.validated}, now};
    std::lock_guard lock(mutex_);
    if (auto found = entries_.find(token); found != entries_.end()) {
      found->second = std::move(entry);
      return;
    }
    if (entries_.size() >= capacity_) entries_.clear();
    entries_.emplace(std::string(token), std::move(entry));
  } catch (const std::bad_alloc&) {
    // Remembering is only a shortcut; the shared store still answers.
  }
}

void RecentSignOns::Forget(std::string_view token) noexcept {
  std::lock_guard lock(mutex_);
  if (const auto found = entries_.find(token); found != entries_.end()) entries_.erase(found);
}

}  // namespace turnpike
