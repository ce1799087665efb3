// RecentSignOns: a short memory, in one process, of the sign-ons that a
// shared store has just confirmed or stored.
//
// A store shared between processes (Apache's shared object cache) answers
// every lookup under a lock that all of a server's threads and processes
// take in turn; a browser that is signed on sends that lookup with every
// request. Remembering a confirmed sign-on for a second or two lets the
// following requests of the same browser be answered without the lock.
//
// What callers may rely on:
//   - Find answers only what Remember was given less than `ttl` ago, and
//     not forgotten since: the sign-on unchanged, its validation time
//     included, but for its ticket, which is not kept (left empty). Whether the sign-on has expired is still the caller's to
//     judge from that time, so the memory never lengthens a session.
//   - Tokens compare byte for byte.
//   - At most `capacity` tokens are kept; when full, everything is
//     forgotten at once (the next lookups go to the shared store again).
//
// What it deliberately does not do: it does not see what other processes or
// servers do to the shared store. A sign-on that the shared store drops to
// make room, or that another process logs out, is still accepted here for up
// to `ttl`; only a logout in this process forgets it at once.
//
// Threads: every operation may run on any number of threads at once; one
// mutex guards the map, held for one hash lookup, insertion or removal.
#pragma once

#include <cstddef>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "common/sign_on.h"
#include "platform/clock.h"

namespace turnpike {

class RecentSignOns {
 public:
  RecentSignOns(const Clock& clock, TimeValue ttl, std::size_t capacity) noexcept
      : clock_(clock), ttl_(ttl), capacity_(capacity) {}
  RecentSignOns(const RecentSignOns&) = delete;
  RecentSignOns& operator=(const RecentSignOns&) = delete;

  // The sign-on remembered under `token` less than the ttl ago, or nothing
  // (also when its copy cannot be made).
  std::optional<SignOn> Find(std::string_view token) noexcept;

  // Remembers a sign-on the shared store holds. Out of memory, it simply
  // remembers nothing.
  void Remember(std::string_view token, const SignOn& sign_on) noexcept;

  // Forgets `token`'s sign-on, which has just been logged out.
  void Forget(std::string_view token) noexcept;

 private:
  struct Entry {
    SignOn sign_on;
    TimeValue remembered;
  };
  struct Hash {
    using is_transparent = void;
    std::size_t operator()(std::string_view text) const noexcept { return std::hash<std::string_view>{}(text); }
  };

  const Clock& clock_;
  const TimeValue ttl_;
  const std::size_t capacity_;
  std::mutex mutex_;
  std::unordered_map<std::string, Entry, Hash, std::equal_to<>> entries_;
};

}  // namespace turnpike
