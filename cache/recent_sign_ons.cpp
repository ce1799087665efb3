#include "cache/recent_sign_ons.h"

#include <new>

namespace turnpike {

bool RecentSignOns::Find(std::string_view token, std::string& user, TimeValue& created) noexcept {
  const TimeValue now = clock_.Now();
  std::lock_guard lock(mutex_);
  const auto found = entries_.find(token);
  if (found == entries_.end()) return false;
  // A clock that went back makes the entry stale rather than young.
  if (now < found->second.remembered || now - found->second.remembered >= ttl_) {
    entries_.erase(found);
    return false;
  }
  try {
    user = found->second.user;
  } catch (const std::bad_alloc&) {
    return false;
  }
  created = found->second.created;
  return true;
}

void RecentSignOns::Remember(std::string_view token, std::string_view user, TimeValue created) noexcept {
  const TimeValue now = clock_.Now();
  try {
    Entry entry{std::string(user), created, now};
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

}  // namespace turnpike
