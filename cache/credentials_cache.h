// CredentialsCache: the sign-ons of this process, kept in its memory.
//
// Two hash maps keyed by the cookie value, which is the ticket:
// `UserArtifactMap` (ticket to the user name) and `TimestampArtifactMap`
// (ticket to the time the ticket was validated and, when the CAS server
// released any, the attributes). With opaque cookies (a RandomSource given)
// the cookie value is 128 random bits instead (cache/opaque_cookie.h), the
// entry keeps its ticket beside the attributes, and a third map,
// `TicketCookieMap`, finds the cookie value of a ticket for single logout;
// a ticket is then never a cookie value. An entry lives `SessionTimeout` minutes
// from that time; using the cookie does not extend it. Expired entries are
// removed when a lookup or a removal meets them, and by a cleaning that every
// lookup starts with, at most once per `CacheCleanTimeout` minutes.
//
// What callers may rely on (beyond the SignOnStore contract):
//   - A token is in both maps or in neither, also after a failed allocation.
//   - An entry exactly `SessionTimeout` minutes old is expired; with 0 every
//     entry is expired as soon as it exists. A lookup never returns an
//     expired sign-on, even one that no cleaning has removed yet.
//   - Storing a ticket that is already held replaces its sign-on and its
//     time; one entry remains.
//   - A stored empty user name comes back as "", not as nothing.
//   - With Debug 0 a lookup allocates nothing but the copies it returns
//     (the user name, and the attributes when there are any; nothing when it
//     returns nothing): the ticket is found through its view, without a
//     temporary key. A removal allocates nothing: the sign-on it answers is
//     moved out of the maps.
//   - Timeouts so large that "now minus the timeout" would fall before
//     1601-01-01 mean "never": an entry under such a `SessionTimeout` never
//     expires, and under such a `CacheCleanTimeout` no cleaning runs.
//   - Every event reported here goes through the EventReporter: information
//     events only while Debug is non-zero, the cleaning summary (a warning)
//     always. Removals report nothing of their own.
//
// What it deliberately does not do:
//   - No size limit and no eviction: an entry leaves by expiring or by a
//     removal (logout). A process that gets no cookie lookups never cleans.
//   - Nothing is persisted or shared with other processes.
//   - No cleaning when storing or removing, and no thread or timer of its
//     own.
//   - The hash is std::hash without a per-process seed. Keys are only tickets
//     that the CAS server has just validated, never a value a browser chose,
//     so nobody outside can crowd one bucket.
//
// Memory: the ticket is held once, by the timestamp half; the user half's
// key is a view of that text, so a ticket longer than a std::string keeps
// inline costs one heap block, not two. The two links that keep the entries
// in time order ride in the timestamp node, which the view makes up for:
// with a 64-character ticket an entry takes 80 bytes less than two owned
// keys did, and never more. When an entry cannot be allocated, the half
// already made is taken out again, an existing entry keeps its old sign-on
// and time, and the store answers nothing (the request decision reports that
// and answers with an error). When the returned copy of the token cannot be
// made the entry stays. When the copy of a sign-on cannot be made the lookup
// reports it (as the user string it could not create) and answers nothing;
// the entry stays.
//
// Order: the timestamp halves are also linked oldest first by their time. A
// store, which almost always carries the newest time, goes to the young end
// (a re-stored ticket moves there), so the cleaning removes from the old end
// and stops at the first entry that has not expired: it costs what it
// removes, not what the cache holds. A time older than the few newest
// entries (a clock set back) is linked at the young end out of order; the
// next cleaning then walks every entry, as a cleaning always did, and sorts
// what remains.
//
// Ownership: the cache owns its copies of tickets and sign-ons; the caller
// owns every answer. The clock and the reporter are borrowed and must
// outlive the cache; the two time-outs are its own copy.
//
// Threads: every operation may run on any number of threads at once. One
// non-recursive mutex guards both maps and the time of the last cleaning;
// each operation holds it for its whole run, the lookup's cleaning
// included, and events are reported while it is held. A due cleaning holds
// it for the entries it removes (and for a walk of all of them after a time
// came out of order), so other requests wait that long.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "cache/sign_on_store.h"
#include "eventlog/event_reporter.h"
#include "platform/clock.h"
#include "platform/random_source.h"

namespace turnpike {

// The bucket count each map starts with (the standard library may round it
// up); the maps grow beyond it as needed.
inline constexpr std::size_t kCredentialsCacheBuckets = 1024;

class CredentialsCache final : public SignOnStore {
 public:
  // `opaque_cookies`: where the random cookie values come from; null: the
  // cookie value is the ticket. Borrowed, like the clock.
  CredentialsCache(const Clock& clock, CacheTimeouts timeouts, const EventReporter& reporter,
                   RandomSource* opaque_cookies = nullptr) noexcept;
  CredentialsCache(const CredentialsCache&) = delete;
  CredentialsCache& operator=(const CredentialsCache&) = delete;
  ~CredentialsCache() override;

  // Empties both maps, gives each its starting buckets and takes now as the
  // time of the last cleaning, so the first cleaning comes due
  // `CacheCleanTimeout` minutes from here. Called once at start-up, after
  // the settings are loaded. If the buckets cannot be allocated the maps
  // start smaller and grow as usual.
  void InitCredentialsCache() noexcept;

  std::optional<std::string> Store(const SignOn& sign_on) noexcept override;
  std::optional<SignOn> Lookup(std::string_view cookie) noexcept override;
  // Without opaque cookies the cookie value is the ticket, so both find the
  // same entry.
  std::optional<SignOn> RemoveByTicket(std::string_view ticket) noexcept override;
  std::optional<SignOn> RemoveByCookie(std::string_view cookie) noexcept override;

 private:
  friend class CredentialsCacheInspector;  // tests look at both maps

  // A ticket with its hash, computed once for the searches of both maps: a
  // lookup that finds its sign-on hashes the ticket once, not twice.
  struct HashedToken {
    std::string_view text;
    std::size_t hash;
    friend bool operator==(const HashedToken& token, const std::string& key) noexcept { return token.text == key; }
    friend bool operator==(const HashedToken& token, std::string_view key) noexcept { return token.text == key; }
  };
  // The user half's key: a view of the ticket that the entry's timestamp
  // half owns, which outlives it (a removal takes the user half out with
  // it). It reads as a std::string where one is asked for, and a
  // std::string makes one for a search.
  struct TokenView : std::string_view {
    TokenView(const std::string& ticket) noexcept : std::string_view(ticket) {}  // NOLINT: implicit on purpose
    operator std::string() const { return std::string(data(), size()); }         // NOLINT: implicit on purpose
  };
  // Lets a std::string_view or a HashedToken find a std::string key without
  // building one.
  struct TokenHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view token) const noexcept {
      return std::hash<std::string_view>{}(token);
    }
    std::size_t operator()(const HashedToken& token) const noexcept { return token.hash; }
  };
  // The attributes (and an opaque cookie's ticket) hang off a pointer that
  // stays null for a sign-on without any, which most are. `older` and `newer` link the entries in time order
  // (see Order above); they belong to the node, not to the sign-on, and a
  // replaced sign-on keeps them.
  struct EntryExtras {
    std::vector<SignOnAttribute> attributes;
    std::string ticket;  // with opaque cookies: the ticket the cookie value stands for
  };
  struct TimestampArtifact;
  using TimestampEntry = std::pair<const std::string, TimestampArtifact>;
  struct TimestampArtifact {
    TimeValue time = 0;
    std::unique_ptr<EntryExtras> extras;
    TimestampEntry* older = nullptr;
    TimestampEntry* newer = nullptr;
  };
  using UserMap = std::unordered_map<TokenView, std::string, TokenHash, std::equal_to<>>;
  using TimestampMap = std::unordered_map<std::string, TimestampArtifact, TokenHash, std::equal_to<>>;
  using TicketMap = std::unordered_map<std::string, std::string, TokenHash, std::equal_to<>>;
  // The two halves of an entry taken out of the maps; a half that was
  // missing is empty.
  using ExtractedEntry = std::pair<TimestampMap::node_type, UserMap::node_type>;

  std::optional<SignOn> Remove(std::string_view cookie) noexcept;
  // All of these run with mutex_ held.
  std::optional<SignOn> RemoveHeld(std::string_view cookie) noexcept;
  void CleanCredentialsCache(TimeValue now);
  void RemoveEveryExpired(TimeValue now);
  void SortByTime() noexcept;
  void Link(TimestampEntry& entry) noexcept;
  void Unlink(TimestampEntry& entry) noexcept;
  TimestampMap::iterator RemoveEntry(TimestampMap::iterator entry);
  ExtractedEntry ExtractEntry(TimestampMap::iterator entry);
  void RemoveOldest();
  ExtractedEntry ExtractUserHalf(TimestampMap::node_type time_half);

  void Report(EventType type, const char* message, const char* detail) const noexcept;
  void Report(EventType type, const char* message, std::string_view detail) const noexcept;

  const Clock& clock_;
  const CacheTimeouts timeouts_;
  const EventReporter& reporter_;
  RandomSource* const opaque_cookies_;

  std::mutex mutex_;
  UserMap UserArtifactMap;
  TimestampMap TimestampArtifactMap;
  TicketMap TicketCookieMap;  // opaque cookies only: ticket to cookie value
  TimeValue LastCleanTime = 0;
  // The time order of the timestamp halves; `in_time_order_` is false from a
  // store that could not find its place near the young end until the next
  // cleaning has sorted the rest.
  TimestampEntry* oldest_ = nullptr;
  TimestampEntry* newest_ = nullptr;
  bool in_time_order_ = true;
};

}  // namespace turnpike
