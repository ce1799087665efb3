#include "cache/recent_sign_ons.h"

#include <gtest/gtest.h>

#include <string>

#include "fakes/fake_clock.h"

namespace turnpike {
namespace {

constexpr TimeValue kTtl = 10'000'000;  // one second

struct Found {
  bool found;
  std::string user;
  TimeValue created;
};

Found Find(RecentSignOns& recent, std::string_view token) {
  const std::optional<SignOn> sign_on = recent.Find(token);
  return sign_on ? Found{true, sign_on->user, sign_on->validated} : Found{false, "", 0};
}

SignOn SignOnOf(std::string user, TimeValue validated) { return {std::move(user), {}, "", validated}; }

TEST(RecentSignOns, AnswersWhatItWasGivenForLessThanItsTime) {
  FakeClock clock;
  RecentSignOns recent(clock, kTtl, 100);
  recent.Remember("ST-1", SignOnOf("alice", 1234));
  clock.Advance(kTtl - 1);
  const Found found = Find(recent, "ST-1");
  EXPECT_TRUE(found.found);
  EXPECT_EQ(found.user, "alice");
  EXPECT_EQ(found.created, 1234u) << "the sign-on's own time, for the caller's expiry check";
  clock.Advance(1);
  EXPECT_FALSE(Find(recent, "ST-1").found) << "exactly the time old is forgotten";
}

TEST(RecentSignOns, ComparesTokensByteForByteReplacesAndForgets) {
  FakeClock clock;
  RecentSignOns recent(clock, kTtl, 100);
  recent.Remember("ST-1", SignOnOf("alice", 1));
  EXPECT_FALSE(Find(recent, "st-1").found);
  EXPECT_FALSE(Find(recent, "ST-1 ").found);
  recent.Remember("ST-1", SignOnOf("bob", 2));
  EXPECT_EQ(Find(recent, "ST-1").user, "bob");
  recent.Forget("ST-1");
  EXPECT_FALSE(Find(recent, "ST-1").found) << "logged out";
}

TEST(RecentSignOns, AClockThatWentBackForgets) {
  FakeClock clock;
  RecentSignOns recent(clock, kTtl, 100);
  recent.Remember("ST-1", SignOnOf("alice", 1));
  clock.Set(FakeClock::kStart - 1);
  EXPECT_FALSE(Find(recent, "ST-1").found);
}

TEST(RecentSignOns, ForgetsEverythingWhenFull) {
  FakeClock clock;
  RecentSignOns recent(clock, kTtl, 2);
  recent.Remember("a", SignOnOf("1", 0));
  recent.Remember("b", SignOnOf("2", 0));
  recent.Remember("a", SignOnOf("3", 0));  // a known token does not fill it
  EXPECT_TRUE(Find(recent, "b").found);
  recent.Remember("c", SignOnOf("4", 0));
  EXPECT_FALSE(Find(recent, "a").found);
  EXPECT_FALSE(Find(recent, "b").found);
  EXPECT_TRUE(Find(recent, "c").found);
}

}  // namespace
}  // namespace turnpike
