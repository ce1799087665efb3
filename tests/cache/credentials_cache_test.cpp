#include "cache/credentials_cache.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <random>

#include "cache/credentials_cache_inspector.h"

namespace {
// How many allocations succeed before one fails; negative: none fails.
std::atomic<long> g_allocations_before_failure{-1};
}  // namespace

// Out of line, so that the compiler does not pair a caller's new with the
// free inside delete.
[[gnu::noinline]] void* operator new(std::size_t size) {
  if (g_allocations_before_failure.load() >= 0 && g_allocations_before_failure.fetch_sub(1) == 0) {
    throw std::bad_alloc();
  }
  if (void* block = std::malloc(size == 0 ? 1 : size)) return block;
  throw std::bad_alloc();
}
[[gnu::noinline]] void operator delete(void* block) noexcept { std::free(block); }
[[gnu::noinline]] void operator delete(void* block, std::size_t) noexcept { std::free(block); }

namespace turnpike {
namespace {

constexpr const char* kNoUserDelete = "The Turnpike filter was unable to delete the user artifact at:";
constexpr const char* kNoUserLookup = "The Turnpike filter was unable to retrieve the user artifact at: ";
constexpr const char* kEmpty = "The Turnpike filter was found the auth timestamp map empty while cleaning";

Event Cleaned(int before, int after) {
  return {2, "The Turnpike filter successfully cleaned the credentials cache",
          "artifacts before: " + std::to_string(before) + " artifacts after: " + std::to_string(after)};
}

struct Scenario {
  const char* name;
  std::uint32_t session_timeout, clean_timeout, debug;
  std::vector<Step> steps;
  std::vector<Event> events;      // every event written during the steps
  std::vector<std::string> held;  // tokens left at the end, each whole
};

const Scenario kScenarios[] = {
    {"a sign-on one unit short of the timeout is found", 60, kNever, 1,
     {Store("ST-1", "alice"), Advance(60 * kMinute - 1), Lookup("ST-1", "alice")},
     {{4, kCreated, "alice"}, {4, kFound, ""}, {4, kUnexpired, "alice"}}, {"ST-1"}},
    {"one millisecond short of the timeout is found", 60, kNever, 0,
     {Store("ST-1", "alice"), Advance(60 * kMinute - 10'000), Lookup("ST-1", "alice")}, {}, {"ST-1"}},
    {"a sign-on exactly the timeout old is expired and removed", 60, kNever, 1,
     {Store("ST-1", "alice"), Advance(60 * kMinute), Lookup("ST-1")},
     {{4, kCreated, "alice"}, {4, kFound, ""}}, {}},
    {"timeout 0 expires a sign-on at once", 0, kNever, 0, {Store("ST-1", "alice"), Lookup("ST-1")}, {}, {}},
    // A timeout reaching back before 1601 means "never", not "always".
    {"a huge timeout never expires", kNever, kNever, 0,
     {Store("ST-1", "alice"), Advance(100 * 525'960 * kMinute), Lookup("ST-1", "alice")}, {}, {"ST-1"}},
    {"a lookup does not extend the sign-on", 60, kNever, 0,
     {Store("ST-1", "alice"), Advance(59 * kMinute), Lookup("ST-1", "alice"), Advance(kMinute), Lookup("ST-1")},
     {}, {}},
    {"storing again replaces user and time", 60, kNever, 0,
     {Store("ST-1", "alice"), Advance(30 * kMinute), Store("ST-1", "bob"), Advance(59 * kMinute),
      Lookup("ST-1", "bob")}, {}, {"ST-1"}},
    {"tokens differing in case are different entries", 60, 10, 0,
     {Store("ST-abc", "alice"), Store("ST-ABC", "bob"), Lookup("ST-ABC", "bob"), Lookup("ST-abc", "alice"),
      Lookup("st-abc")}, {}, {"ST-ABC", "ST-abc"}},
    {"an empty user name comes back as an empty string", 60, 10, 1, {Store("ST-1", ""), Lookup("ST-1", "")},
     {{4, kCreated, ""}, {4, kFound, ""}, {4, kUnexpired, ""}}, {"ST-1"}},
    {"no cleaning in the first interval, then one", 1, 10, 1,
     {Store("ST-1", "alice"), Advance(10 * kMinute - 1), Lookup("ST-x"), Advance(1), Lookup("ST-x")},
     {{4, kCreated, "alice"}, {4, kNotHeld, "ST-x"}, Cleaned(1, 0), {4, kNotHeld, "ST-x"}}, {}},
    // The cleaning belongs to the lookup and comes first: the expired token
    // is gone before the lookup searches for it.
    {"a due cleaning runs before the lookup's own search", 10, 10, 1,
     {Store("ST-a", "alice"), Store("ST-b", "bob"), Advance(5 * kMinute), Store("ST-c", "carol"),
      Advance(5 * kMinute), Lookup("ST-a")},
     {{4, kCreated, "alice"}, {4, kCreated, "bob"}, {4, kCreated, "carol"}, Cleaned(3, 1),
      {4, kNotHeld, "ST-a"}}, {"ST-c"}},
    {"an empty cleaning restarts the interval", 60, 10, 1,
     {Advance(10 * kMinute), Lookup("ST-x"), Store("ST-1", "alice"), Advance(10 * kMinute - 1),
      Lookup("ST-x"), Advance(1), Lookup("ST-x")},
     {{4, kEmpty, ""}, {4, kNotHeld, "ST-x"}, {4, kCreated, "alice"}, {4, kNotHeld, "ST-x"}, Cleaned(1, 1),
      {4, kNotHeld, "ST-x"}}, {"ST-1"}},
    {"clean timeout 0 cleans on every lookup; Debug 0 keeps only the summary", 60, 0, 0,
     {Lookup("ST-x"), Store("ST-1", "alice"), Lookup("ST-1", "alice"), Lookup("ST-1", "alice")},
     {Cleaned(1, 1), Cleaned(1, 1)}, {"ST-1"}},
    // A token in one map only never comes from the cache's own steps; if it
    // ever did, it is reported and the rest of the work still gets done.
    {"a missing user half is reported; the lookup keeps the entry, the cleaning goes on", 10, 10, 1,
     {Store("ST-a", "alice"), Store("ST-b", "bob"), DropUser("ST-a"), Lookup("ST-a"), Advance(10 * kMinute),
      Lookup("ST-x")},
     {{4, kCreated, "alice"}, {4, kCreated, "bob"}, {4, kFound, ""}, {4, kNoUserLookup, "ST-a"},
      {1, kNoUserDelete, "ST-a"}, Cleaned(2, 0), {4, kNotHeld, "ST-x"}}, {}},
    {"an expired lookup reports a missing user half", 10, kNever, 0,
     {Store("ST-a", "alice"), DropUser("ST-a"), Advance(10 * kMinute), Lookup("ST-a")},
     {{1, kNoUserDelete, "ST-a"}}, {}},
    // Removals (logout) report nothing of their own and never clean.
    {"removed by cookie or by ticket: answered once, the others stay", 60, 10, 1,
     {Store("ST-a", "alice"), Store("ST-b", "bob"), Store("ST-c", "carol"), ByCookie("ST-a", "alice"),
      ByTicket("ST-b", "bob"), ByTicket("ST-b"), ByCookie("ST-a"), Lookup("ST-a"), Lookup("ST-c", "carol")},
     {{4, kCreated, "alice"}, {4, kCreated, "bob"}, {4, kCreated, "carol"}, {4, kNotHeld, "ST-a"}, {4, kFound, ""},
      {4, kUnexpired, "carol"}}, {"ST-c"}},
    {"an expired sign-on is removed, not answered, with no cleaning though one is due", 10, 10, 1,
     {Store("ST-a", "alice"), Store("ST-b", "bob"), Advance(10 * kMinute), ByTicket("ST-a"), ByCookie("st-b")},
     {{4, kCreated, "alice"}, {4, kCreated, "bob"}}, {"ST-b"}},
    {"a removal reports a missing user half and takes the time half out", 60, 10, 0,
     {Store("ST-a", "alice"), DropUser("ST-a"), ByCookie("ST-a")}, {{1, kNoUserDelete, "ST-a"}}, {}},
};

TEST(CredentialsCacheTest, Scenarios) {
  for (const Scenario& scenario : kScenarios) {
    SCOPED_TRACE(scenario.name);
    CacheUnderTest c(scenario.session_timeout, scenario.clean_timeout, scenario.debug);
    RunSteps(c, c.cache, nullptr, scenario.steps);
    EXPECT_EQ(c.Events(), scenario.events);
    std::vector<std::string> held;
    for (const auto& [token, entry] : c.inspect.Entries()) {
      EXPECT_TRUE(entry.user && entry.time) << token;
      held.push_back(token);
    }
    EXPECT_EQ(held, scenario.held);
  }
}

// The whole record comes back from a removal, and from a lookup but for the
// ticket; replacing a sign-on replaces its attributes too.
TEST(CredentialsCacheTest, KeepsTheWholeRecord) {
  CacheUnderTest c(60, 60, 0);
  const SignOn alice{"alice", {{"mail", {"alice@example.org"}}, {"memberOf", {"staff", "admins"}}}, "ST-1",
                     c.clock.Now() - 1};
  ASSERT_EQ(c.cache.Store(alice), "ST-1");
  EXPECT_EQ(c.cache.Lookup("ST-1"), (SignOn{alice.user, alice.attributes, "", alice.validated}));
  const SignOn bob{"bob", {}, "ST-1", c.clock.Now()};
  ASSERT_EQ(c.cache.Store(bob), "ST-1");
  EXPECT_EQ(c.cache.Lookup("ST-1"), (SignOn{"bob", {}, "", bob.validated}));
  ASSERT_EQ(c.cache.Store(alice), "ST-1");
  EXPECT_EQ(c.cache.RemoveByCookie("ST-1"), alice);
  EXPECT_TRUE(c.inspect.Entries().empty());
}

TEST(CredentialsCacheTest, IsExpiredNeverWraps) {
  EXPECT_TRUE(IsExpired(0, 10, 10 * kMinute));       // threshold at 1601 itself
  EXPECT_FALSE(IsExpired(0, 10, 10 * kMinute - 1));  // threshold would be before 1601
  EXPECT_TRUE(IsExpired(0, kNever, ~TimeValue{0}));  // the largest product does not overflow
}

// Long enough that neither fits in a std::string without an allocation.
const std::string kToken(64, 't');
const std::string kAlice = "alice.liddell@wonderland.example";
const std::string kBob = "bob.mortimer@hogwarts.example.org";

// Whatever allocation fails, the token ends up whole in both maps (the old
// entry or the new one) or in neither, and a cookie value comes back only
// with a complete new entry.
TEST(CredentialsCacheTest, FailedAllocationsLeaveWholeEntriesOnly) {
  using Entries = std::map<std::string, CredentialsCacheInspector::Entry>;
  for (const bool replacing : {false, true}) {
    const Entries before = replacing ? Entries{{kToken, {kAlice, FakeClock::kStart}}} : Entries{};
    const Entries after{{kToken, {kBob, FakeClock::kStart + 1}}};
    for (long allowed = 0;; ++allowed) {
      SCOPED_TRACE(std::to_string(allowed) + (replacing ? " allocations into a replacement" : " into a store"));
      ASSERT_LT(allowed, 20);
      CacheUnderTest c(60, 60, 0);
      if (replacing) ASSERT_TRUE(c.Store(kToken, kAlice));
      c.clock.Advance(1);
      const SignOn bob = c.SignOnOf(kToken, kBob);
      g_allocations_before_failure = allowed;
      const std::optional<std::string> cookie = c.cache.Store(bob);
      const bool failed = g_allocations_before_failure.exchange(-1) < 0;
      EXPECT_EQ(cookie, failed ? std::nullopt : std::optional(kToken));
      EXPECT_TRUE(c.inspect.Entries() == after || (failed && c.inspect.Entries() == before));
      if (!failed) break;
    }
  }
}

TEST(CredentialsCacheTest, FailedUserCopyIsReportedAndTheEntryStays) {
  CacheUnderTest c(60, 60, 0);
  ASSERT_TRUE(c.Store(kToken, kAlice));
  g_allocations_before_failure = 0;
  EXPECT_EQ(c.cache.Lookup(kToken), std::nullopt);
  g_allocations_before_failure = -1;
  EXPECT_EQ(c.Events(), (std::vector<Event>{{1, "The Turnpike filter was unable to create the user string. ", ""}}));
  EXPECT_EQ(c.inspect.Entries().size(), 1U);
}

// Stores whose times come out of order (threads that validated a moment
// apart, a clock set back by half an hour), re-stores and logouts, with a
// cleaning due at every lookup: each cleaning removes exactly the expired
// sign-ons, wherever they sit, and counts what a walk of every entry counts.
TEST(CredentialsCacheTest, CleaningRemovesExactlyTheExpiredWhateverTheOrderOfStores) {
  const struct {
    const char* name;
    TimeValue most_back;  // how far before now a stored time may lie
  } kOrders[] = {{"in order", 1}, {"a few entries apart", kMinute / 6}, {"a clock set back", 30 * kMinute}};
  for (const auto& order : kOrders) {
    SCOPED_TRACE(order.name);
    CacheUnderTest c(/*session_timeout=*/10, /*clean_timeout=*/1, /*debug=*/0);
    std::map<std::string, std::pair<std::string, TimeValue>> model;
    TimeValue last_clean = c.clock.Now();
    std::mt19937 random(20);
    // What the cache must answer for `ticket`; a lookup or a removal takes
    // the sign-on out once it has expired.
    const auto take = [&model](const std::string& ticket, TimeValue now, bool remove) -> std::optional<std::string> {
      const auto found = model.find(ticket);
      if (found == model.end()) return std::nullopt;
      const bool expired = IsExpired(found->second.second, 10, now);
      std::optional<std::string> user = expired ? std::nullopt : std::optional(found->second.first);
      if (expired || remove) model.erase(found);
      return user;
    };
    for (int step = 0; step < 20'000 && !HasFailure(); ++step) {
      const std::string ticket = "ST-" + std::to_string(random() % 500);
      const TimeValue now = c.clock.Now();
      const unsigned kind = random() % 8;
      if (kind == 0) {
        c.clock.Advance(random() % (kMinute / 20));
      } else if (kind == 1) {
        EXPECT_EQ(UserOf(c.cache.RemoveByTicket(ticket)), take(ticket, now, true));
      } else if (kind <= 3) {
        std::vector<Event> events;
        if (IsExpired(last_clean, 1, now)) {
          last_clean = now;
          if (!model.empty()) {
            const auto before = static_cast<int>(model.size());
            std::erase_if(model, [now](const auto& entry) { return IsExpired(entry.second.second, 10, now); });
            events.push_back(Cleaned(before, static_cast<int>(model.size())));
          }
        }
        EXPECT_EQ(UserOf(c.cache.Lookup(ticket)), take(ticket, now, false));
        EXPECT_EQ(c.Events(), events);
      } else {
        const TimeValue time = now - random() % order.most_back;
        const std::string user = "user-" + std::to_string(step);
        EXPECT_EQ(c.cache.Store(SignOn{user, {}, ticket, time}), ticket);
        model[ticket] = {user, time};
      }
    }
    std::map<std::string, CredentialsCacheInspector::Entry> expected;
    for (const auto& [ticket, sign_on] : model) expected[ticket] = {sign_on.first, sign_on.second};
    EXPECT_EQ(c.inspect.Entries(), expected);
  }
}

}  // namespace
}  // namespace turnpike
