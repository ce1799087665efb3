// Many validations at once, as on a web server's request threads: each call
// must use only its own objects and text (the CAS 1.0 splitting included).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "fakes/canned_validation_platform.h"
#include "platform/posix/curl_libxml2_validation.h"
#include "tests/validation/cas2_answers.h"
#include "tests/validation/cas_server_process.h"
#include "tests/validation/event_matchers.h"
#include "validation/validate_ticket.h"

namespace turnpike {
namespace {

// The real XML layer with answers made from the URL itself ("cas1:NAME" or
// "cas2:NAME").
std::string AnswerFromUrl(const std::string& url) {
  const std::string name = url.substr(5);
  return url.rfind("cas1:", 0) == 0 ? "yes\n" + name + "\n" : Cas2Success(name);
}

// Runs `right(thread, round)` on `threads` threads at once; answers how many
// rounds were wrong.
int WrongRounds(int threads, int rounds, const std::function<bool(int, int)>& right) {
  std::atomic<int> wrong{0};
  std::vector<std::thread> running;
  for (int t = 0; t < threads; ++t) {
    running.emplace_back([&, t] {
      for (int i = 0; i < rounds; ++i) wrong += right(t, i) ? 0 : 1;
    });
  }
  for (std::thread& thread : running) thread.join();
  return wrong;
}

TEST(ConcurrentValidation, EachCallReadsItsOwnAnswer) {
  CurlLibxml2ValidationPlatform documents;
  CannedValidationPlatform platform(documents, AnswerFromUrl);
  RecordingReporter events;
  EXPECT_EQ(WrongRounds(8, 200, [&](int t, int i) {
              const std::string name = "user" + std::to_string(t) + "x" + std::to_string(i);
              return ValidatedUser((i % 2 == 0 ? "cas1:" : "cas2:") + name, platform, events.reporter) == name;
            }), 0);
  EXPECT_TRUE(events.log.events().empty());
}

TEST(ConcurrentValidation, AgainstTheCasServer) {
  CasServerProcess server;
  ASSERT_TRUE(server.running());
  CurlHttpSettings settings;
  settings.total_timeout = std::chrono::milliseconds(10'000);
  CurlLibxml2ValidationPlatform platform(settings);
  RecordingReporter events;
  EXPECT_EQ(WrongRounds(4, 25, [&](int, int i) {
              const std::string ticket = IssueTicket(platform, server.url(), "S", "bob");
              const std::string url = server.url() + (i % 2 == 0 ? "/validate" : "/serviceValidate") +
                                      "?service=S&ticket=" + ticket;
              return ValidatedUser(url, platform, events.reporter) == "bob";
            }), 0);
  EXPECT_TRUE(events.log.events().empty());
}

}  // namespace
}  // namespace turnpike
