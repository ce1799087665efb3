// The shared store's decisions over a byte store in memory that forgets
// nothing by itself and fails when told to.
#include "cache/shared_sign_on_store.h"

#include <gtest/gtest.h>

#include "cache/credentials_cache_inspector.h"

namespace turnpike {
namespace {

using Op = FakeByteStore::Operation;
using Status = ByteStoreStatus;

constexpr const char* kStoreFailed = "The Turnpike filter could not store a sign-on in the shared credentials cache:";
constexpr const char* kReadFailed = "The Turnpike filter could not read the shared credentials cache:";
constexpr const char* kExpiredNotRemoved =
    "The Turnpike filter could not remove an expired sign-on from the shared credentials cache:";
constexpr const char* kNotRemoved = "The Turnpike filter could not remove a sign-on from the shared credentials cache:";
constexpr const char* kLockFailed = "The Turnpike filter could not lock the shared credentials cache:";
constexpr const char* kUserTooLong =
    "The Turnpike filter cannot keep a user name this long in the shared credentials cache:";
constexpr const char* kTooLarge =
    "The Turnpike filter cannot keep a sign-on with this many attributes in the shared credentials cache:";
constexpr const char* kUnreadable =
    "The Turnpike filter found an unreadable entry in the shared credentials cache for:";
constexpr const char* kTrouble = FakeByteStore::kFailureText;
constexpr TimeValue kSecond = kMinute / 60;

// The shared store on the cache fixture's clock and reporter (Debug 1).
struct SharedStoreUnderTest : CacheUnderTest {
  explicit SharedStoreUnderTest(std::uint32_t session_timeout) : CacheUnderTest(session_timeout, 1, 1) {
    store.Attach(CacheTimeouts{session_timeout, 1}, reporter);
  }
  FakeByteStore bytes;
  SharedSignOnStore store{bytes, clock};
};

struct Scenario {
  const char* name;
  std::uint32_t session_timeout;
  std::vector<Step> steps;
  std::vector<Event> events;
  std::size_t held;  // entries left in the byte store
};

const std::string kLongUser(kMaxStoredUserLength + 1, 'u');

const Scenario kScenarios[] = {
    {"found one unit short of the timeout; expired at it, and taken out of the store", 60,
     {Store("ST-1", "alice"), Advance(60 * kMinute - 1), Lookup("ST-1", "alice"), Advance(1), Lookup("ST-1")},
     {{4, kCreated, "alice"}, {4, kFound, ""}, {4, kUnexpired, "alice"}, {4, kFound, ""}}, 0},
    // The memory of recent sign-ons spares the store's lock, never the expiry.
    {"timeout 0: expired even within the second this process remembers it", 0,
     {Store("ST-1", "alice"), Lookup("ST-1")}, {{4, kCreated, "alice"}, {4, kFound, ""}}, 0},
    {"a huge timeout never expires", kNever,
     {Store("ST-1", "alice"), Advance(100 * 525'960 * kMinute), Lookup("ST-1", "alice")},
     {{4, kCreated, "alice"}, {4, kFound, ""}, {4, kUnexpired, "alice"}}, 1},
    {"storing again replaces user and time; cookies compare byte for byte", 60,
     {Store("ST-1", "alice"), Advance(30 * kMinute), Store("ST-1", "bob"), Advance(59 * kMinute),
      Lookup("ST-1", "bob"), Lookup("st-1")},
     {{4, kCreated, "alice"}, {4, kCreated, "bob"}, {4, kFound, ""}, {4, kUnexpired, "bob"}, {4, kNotHeld, "st-1"}},
     1},
    {"a store that fails: nothing stored or found, each reported with the store's text", 60,
     {Fail(Op::Put, Status::Failed), Refused("ST-1", "alice"), Fail(Op::Put, Status::LockFailed),
      Refused("ST-1", "alice"), Heal(), Store("ST-1", "alice"), Advance(kSecond), Fail(Op::Get, Status::Failed),
      Lookup("ST-1"), Fail(Op::Get, Status::LockFailed), Lookup("ST-1")},
     {{1, kStoreFailed, kTrouble}, {1, kLockFailed, kTrouble}, {4, kCreated, "alice"}, {1, kReadFailed, kTrouble},
      {1, kLockFailed, kTrouble}}, 1},
    {"an expired sign-on the store cannot remove is reported and not answered", 60,
     {Store("ST-1", "alice"), Advance(60 * kMinute), Fail(Op::Remove, Status::Failed), Lookup("ST-1")},
     {{4, kCreated, "alice"}, {4, kFound, ""}, {1, kExpiredNotRemoved, kTrouble}}, 1},
    {"an unreadable entry is reported and not answered", 60,
     {Store("ST-1", "alice"), Spoil("ST-1"), Advance(kSecond), Lookup("ST-1")},
     {{4, kCreated, "alice"}, {1, kUnreadable, "ST-1"}}, 1},
    {"a user name of 4097 bytes is refused, one of 4096 kept", 60,
     {Refused("ST-1", kLongUser), Store("ST-1", kLongUser.substr(1))},
     {{1, kUserTooLong, kLongUser.substr(0, 256)}, {4, kCreated, kLongUser.substr(1)}}, 1},
    {"removed by cookie or by ticket: answered once, and this process forgets it at once", 60,
     {Store("ST-1", "alice"), Store("ST-2", "bob"), ByCookie("ST-1", "alice"), Lookup("ST-1"),
      ByTicket("ST-2", "bob"), ByTicket("ST-2"), ByCookie("ST-1")},
     {{4, kCreated, "alice"}, {4, kCreated, "bob"}, {4, kNotHeld, "ST-1"}}, 0},
    {"expired and unreadable sign-ons are removed, not answered", 60,
     {Store("ST-1", "alice"), Store("ST-2", "bob"), Spoil("ST-2"), Advance(60 * kMinute), ByCookie("ST-1"),
      ByTicket("ST-2")},
     {{4, kCreated, "alice"}, {4, kCreated, "bob"}, {1, kUnreadable, "ST-2"}}, 0},
    {"a removal the store refuses is reported; the sign-on stays and is not answered", 60,
     {Store("ST-1", "alice"), Fail(Op::Remove, Status::Failed), ByCookie("ST-1"), Fail(Op::Get, Status::LockFailed),
      ByTicket("ST-1"), Heal(), Lookup("ST-1", "alice")},
     {{4, kCreated, "alice"}, {1, kNotRemoved, kTrouble}, {1, kLockFailed, kTrouble}, {4, kFound, ""},
      {4, kUnexpired, "alice"}}, 1},
};

TEST(SharedSignOnStore, Scenarios) {
  for (const Scenario& scenario : kScenarios) {
    SCOPED_TRACE(scenario.name);
    SharedStoreUnderTest s(scenario.session_timeout);
    RunSteps(s, s.store, &s.bytes, scenario.steps);
    EXPECT_EQ(s.Events(), scenario.events);
    EXPECT_EQ(s.bytes.entries.size(), scenario.held);
  }
}

// The store may forget an entry once its sign-on has expired, never before,
// and is never handed a lifetime it could take as past.
TEST(SharedSignOnStore, LifetimeHandedToTheStore) {
  // The age is the sign-on's when stored.
  const struct { std::uint32_t session_timeout; TimeValue age; std::int64_t lifetime_ms; } rows[] = {
      {60, 0, 3'600'000},
      {60, 60 * kMinute - 3 * kSecond, 3'000},
      {60, 60 * kMinute - 3 * kSecond - 1, 3'001},  // rounded up, not down
      {60, 60 * kMinute - 2 * kSecond + 1, 2'000},
      {0, 0, 2'000},
      {60, 61 * kMinute, 2'000},
      {kNever, 0, std::int64_t{kNever} * 60'000},
  };
  for (const auto& row : rows) {
    SharedStoreUnderTest s(row.session_timeout);
    SignOn sign_on = s.SignOnOf("ST-1", "alice");
    sign_on.validated -= row.age;
    ASSERT_TRUE(s.store.Store(sign_on));
    EXPECT_EQ(s.bytes.entries.at(KeyOf("ST-1")).lifetime.count(), row.lifetime_ms)
        << row.session_timeout << " minutes, stored at " << row.age;
  }
}

// The whole record comes back (a lookup's without the ticket), from this
// process's memory for a second and from the shared store after; the shared
// store never holds the ticket.
TEST(SharedSignOnStore, KeepsTheWholeRecord) {
  SharedStoreUnderTest s(60);
  const SignOn alice{"alice", {{"mail", {"alice@example.org"}}, {"memberOf", {"staff", "admins"}}}, "ST-1",
                     s.clock.Now()};
  SignOn looked_up = alice;
  looked_up.ticket.clear();
  ASSERT_EQ(s.store.Store(alice), "ST-1");
  EXPECT_EQ(s.bytes.entries.at(KeyOf("ST-1")).value.find("ST-1"), std::string::npos);
  EXPECT_EQ(s.store.Lookup("ST-1"), looked_up);
  EXPECT_EQ(s.bytes.gets, 0) << "answered from memory";
  s.clock.Advance(kSecond);
  EXPECT_EQ(s.store.Lookup("ST-1"), looked_up);
  EXPECT_EQ(s.bytes.gets, 1);
  EXPECT_EQ(s.store.RemoveByCookie("ST-1"), alice);

  SignOn too_large = alice;
  too_large.attributes.push_back({"photo", {std::string(kMaxEncodedSignOnSize, 'p')}});
  s.Events();
  EXPECT_EQ(s.store.Store(too_large), std::nullopt);
  EXPECT_EQ(s.Events(), (std::vector<Event>{{1, kTooLarge, "alice"}}));
}

// What earlier releases of the Apache module wrote (SHA-1 of the cookie
// value as the key; version byte, time, user) still signs its users on
// after an upgrade.
TEST(SharedSignOnStore, ReadsEntriesOfEarlierReleases) {
  SharedStoreUnderTest s(60);
  const TimeValue validated = s.clock.Now() - 10 * kMinute;
  std::string value = "\x01";
  for (int byte = 0; byte < 8; ++byte) value += static_cast<char>((validated >> (8 * byte)) & 0xFF);
  value += "alice";
  const std::string key_of_st_old =
      "\x63\x64\x1b\x8a\xbe\x06\xfa\xd8\x2d\x8c\xd2\x39\x59\x5b\xd4\xab\x0e\xf9\x15\xa1";
  s.bytes.entries[key_of_st_old] = {value, std::chrono::milliseconds(1)};
  EXPECT_EQ(s.store.Lookup("ST-old"), (SignOn{"alice", {}, "", validated}));
}

}  // namespace
}  // namespace turnpike
