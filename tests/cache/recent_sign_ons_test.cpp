#include "cache/recent_sign_ons.h"

#include <gtest/gtest.h>

#include <string>

#include "fakes/fake_clock.h"

namespace turnpike {
namespace {

constexpr TimeValue kTtl = 10'000'000;  // one second

SignOn SignOnOf(std::string user, TimeValue validated) { return {std::move(user), {}, "", validated}; }

// The sign-on comes back with its own time, for the caller's expiry check.
TEST(RecentSignOns, AnswersWhatItWasGivenForLessThanItsTime) {
  FakeClock clock;
  RecentSignOns recent(clock, kTtl, 100);
  recent.Remember("ST-1", SignOnOf("alice", 1234));
  clock.Advance(kTtl - 1);
  EXPECT_EQ(recent.Find("ST-1"), SignOnOf("alice", 1234));
  clock.Advance(1);
  EXPECT_EQ(recent.Find("ST-1"), std::nullopt) << "exactly the time old is forgotten";
}

TEST(RecentSignOns, ComparesTokensByteForByteReplacesAndForgets) {
  FakeClock clock;
  RecentSignOns recent(clock, kTtl, 100);
  recent.Remember("ST-1", SignOnOf("alice", 1));
  EXPECT_EQ(recent.Find("st-1"), std::nullopt);
  EXPECT_EQ(recent.Find("ST-1 "), std::nullopt);
  recent.Remember("ST-1", SignOnOf("bob", 2));
  EXPECT_EQ(recent.Find("ST-1"), SignOnOf("bob", 2));
  recent.Forget("ST-1");
  EXPECT_EQ(recent.Find("ST-1"), std::nullopt) << "logged out";
  recent.Remember("ST-1", SignOnOf("alice", 1));
  clock.Set(FakeClock::kStart - 1);
  EXPECT_EQ(recent.Find("ST-1"), std::nullopt) << "a clock that went back forgets";
}

TEST(RecentSignOns, ForgetsEverythingWhenFull) {
  FakeClock clock;
  RecentSignOns recent(clock, kTtl, 2);
  recent.Remember("a", SignOnOf("1", 0));
  recent.Remember("b", SignOnOf("2", 0));
  recent.Remember("a", SignOnOf("3", 0));  // a known token does not fill it
  EXPECT_TRUE(recent.Find("b"));
  recent.Remember("c", SignOnOf("4", 0));
  EXPECT_FALSE(recent.Find("a"));
  EXPECT_FALSE(recent.Find("b"));
  EXPECT_TRUE(recent.Find("c"));
}

}  // namespace
}  // namespace turnpike
