#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "cache/credentials_cache_inspector.h"
#include "cache/shared_sign_on_store.h"
#include "fakes/fake_byte_store.h"

namespace turnpike {
namespace {

// Request threads storing, looking up and cleaning (every lookup cleans) on
// the same few tokens while time runs: no lookup may see another token's
// user, no removal may find a half missing, and at the end every token is in
// both maps or in neither.
TEST(CredentialsCacheConcurrencyTest, SharedTokensStayWhole) {
  CacheUnderTest c(/*session_timeout=*/1, /*clean_timeout=*/0, /*debug=*/1);
  std::atomic<int> wrong_answers{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&c, &wrong_answers, t] {
      for (int i = 0; i < 2000; ++i) {
        const std::string token = "ST-" + std::to_string((i * 7 + t * 5) % 16);
        const std::string user = "user-" + token;
        if (i % 3 == 0) {
          if (c.Store(token, user) != token) ++wrong_answers;
        } else if (const auto found = c.LookupUser(token); found && *found != user) {
          ++wrong_answers;
        }
        if (i % 50 == 0) c.clock.Advance(kTicksPerMinute / 4);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();

  EXPECT_EQ(wrong_answers.load(), 0);
  for (const Event& event : c.Events()) EXPECT_NE(std::get<0>(event), 1U) << std::get<1>(event);
  for (const auto& [token, entry] : c.inspect.Entries()) {
    EXPECT_TRUE(entry.time.has_value()) << token;
    EXPECT_EQ(entry.user, "user-" + token);
  }
}

// Logouts beside sign-ons and lookups of the same few tickets, on both
// stores (the shared one with its memory of recent sign-ons): no answer
// carries another ticket's user.
TEST(CredentialsCacheConcurrencyTest, RemovalsBesideLookupsAnswerOnlyTheirOwnUser) {
  CacheUnderTest c(/*session_timeout=*/1, /*clean_timeout=*/0, /*debug=*/1);
  FakeByteStore bytes;
  SharedSignOnStore shared(bytes, c.clock);
  shared.Attach(CacheTimeouts{1, 0}, c.reporter);
  for (SignOnStore* store : {static_cast<SignOnStore*>(&c.cache), static_cast<SignOnStore*>(&shared)}) {
    std::atomic<int> wrong_answers{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back([&, t] {
        for (int i = 0; i < 1000; ++i) {
          const std::string ticket = "ST-" + std::to_string((i * 7 + t * 5) % 8);
          const std::string user = "user-" + ticket;
          std::optional<SignOn> answer;
          switch (i % 4) {
            case 0: (void)store->Store(SignOn{user, {}, ticket, c.clock.Now()}); break;
            case 1: answer = store->RemoveByCookie(ticket); break;
            case 2: answer = store->RemoveByTicket(ticket); break;
            default: answer = store->Lookup(ticket); break;
          }
          if (answer && answer->user != user) ++wrong_answers;
          if (i % 50 == 0) c.clock.Advance(kTicksPerMinute / 4);
        }
      });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(wrong_answers.load(), 0);
  }
  for (const Event& event : c.Events()) EXPECT_NE(std::get<0>(event), 1U) << std::get<1>(event);
}

}  // namespace
}  // namespace turnpike
