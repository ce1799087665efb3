// Opaque cookies in both stores: the cookie value is random and never the
// ticket, and single logout still finds the sign-on by its ticket.
#include "cache/opaque_cookie.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "cache/credentials_cache_inspector.h"
#include "cache/shared_sign_on_store.h"
#include "fakes/fake_random.h"

namespace turnpike {
namespace {

constexpr const char* kNoRandom =
    "The Turnpike filter could not draw an opaque cookie value from the system's random generator for:";

// One store in opaque mode over the cache fixture's clock and reporter.
struct OpaqueStore {
  explicit OpaqueStore(bool shared) {
    if (shared) {
      auto store = std::make_unique<SharedSignOnStore>(bytes, c.clock);
      store->Attach(CacheTimeouts{60, 1}, c.reporter, &random);
      this->store = std::move(store);
    } else {
      auto cache = std::make_unique<CredentialsCache>(c.clock, CacheTimeouts{60, 1}, c.reporter, &random);
      cache->InitCredentialsCache();
      this->store = std::move(cache);
    }
  }
  std::optional<std::string> Store(const std::string& ticket, const std::string& user) {
    return store->Store(c.SignOnOf(ticket, user));
  }
  std::optional<std::string> User(std::string_view cookie) { return UserOf(store->Lookup(cookie)); }

  CacheUnderTest c{60, 1, 0};
  FakeRandom random;
  FakeByteStore bytes;
  std::unique_ptr<SignOnStore> store;
};

class OpaqueCookies : public testing::TestWithParam<bool> {};

TEST_P(OpaqueCookies, TheCookieIsRandomAndOnlyTheTicketRemovesItsSignOn) {
  OpaqueStore s(GetParam());
  const std::optional<std::string> alice = s.Store("ST-1", "alice");
  ASSERT_TRUE(alice);
  EXPECT_EQ(*alice, "01010101010101010101010101010101");
  EXPECT_EQ(s.User(*alice), "alice");
  // The ticket, as an access log shows it, is no cookie.
  EXPECT_EQ(s.User("ST-1"), std::nullopt);
  EXPECT_EQ(s.store->RemoveByCookie("ST-1"), std::nullopt);

  // Single logout by the ticket, also right after a lookup (which a shared
  // store's process remembers for a second).
  const std::optional<SignOn> removed = s.store->RemoveByTicket("ST-1");
  ASSERT_TRUE(removed);
  EXPECT_EQ((std::pair{removed->user, removed->ticket}), (std::pair{std::string("alice"), std::string("ST-1")}));
  EXPECT_EQ(s.User(*alice), std::nullopt);
  EXPECT_EQ(s.store->RemoveByTicket("ST-1"), std::nullopt);

  // Local logout by the cookie; the ticket then finds nothing either.
  const std::optional<std::string> bob = s.Store("ST-2", "bob");
  ASSERT_TRUE(bob);
  EXPECT_NE(*bob, *alice);
  EXPECT_EQ(UserOf(s.store->RemoveByCookie(*bob)), "bob");
  EXPECT_EQ(s.store->RemoveByTicket("ST-2"), std::nullopt);
  EXPECT_EQ(s.User(*bob), std::nullopt);

  // A ticket stored again: its ticket finds the latest sign-on.
  const std::optional<std::string> first = s.Store("ST-3", "carol");
  const std::optional<std::string> second = s.Store("ST-3", "carol");
  ASSERT_TRUE(first && second);
  EXPECT_EQ(s.User(*second), "carol");
  EXPECT_EQ(UserOf(s.store->RemoveByTicket("ST-3")), "carol");
  EXPECT_EQ(s.User(*second), std::nullopt);

  // Expired sign-ons are removed by neither.
  const std::optional<std::string> dave = s.Store("ST-4", "dave");
  s.c.clock.Advance(60 * kMinute);
  EXPECT_EQ(s.store->RemoveByTicket("ST-4"), std::nullopt);
  EXPECT_EQ(s.User(*dave), std::nullopt);

  // Without random bits there is no cookie, and the request gets an error.
  s.random.fail = true;
  s.c.Events();
  EXPECT_EQ(s.Store("ST-5", "erin"), std::nullopt);
  EXPECT_EQ(s.c.Events(), (std::vector<Event>{{1, kNoRandom, "erin"}}));
  EXPECT_EQ(s.store->RemoveByTicket("ST-5"), std::nullopt);

  // A shared store holds neither the cookie nor the ticket, in any entry.
  for (const auto& [key, entry] : s.bytes.entries) {
    for (const std::string& secret : {*alice, *bob, *first, *second, *dave, std::string("ST-")}) {
      EXPECT_EQ(entry.value.find(secret), std::string::npos);
      EXPECT_EQ(key.find(secret), std::string::npos);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Stores, OpaqueCookies, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool>& info) {
                           return info.param ? "Shared" : "InProcess";
                         });

TEST(OpaqueCookie, OnlyThirtyTwoLowerCaseHexDigitsAreOne) {
  FakeRandom random;
  const std::optional<std::string> made = NewOpaqueCookie(random);
  ASSERT_TRUE(made);
  EXPECT_EQ(*made, "01010101010101010101010101010101");
  EXPECT_TRUE(IsOpaqueCookie(*made));
  for (const std::string_view other :
       {"0101010101010101010101010101010", "010101010101010101010101010101010", "0101010101010101010101010101010A",
        "ST-01010101010101010101010101010", ""}) {
    EXPECT_FALSE(IsOpaqueCookie(other)) << other;
  }
}

}  // namespace
}  // namespace turnpike
