// Many validations at once, as on a web server's request threads: each call
// must use only its own objects and text (the CAS 1.0 splitting included).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
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

TEST(ConcurrentValidation, EachCallReadsItsOwnAnswer) {
  constexpr int kThreads = 8;
  constexpr int kRounds = 200;
  CurlLibxml2ValidationPlatform documents;
  CannedValidationPlatform platform(documents, AnswerFromUrl);
  RecordingReporter events;
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kRounds; ++i) {
        const std::string name = "user" + std::to_string(t) + "x" + std::to_string(i);
        const std::string url = (i % 2 == 0 ? "cas1:" : "cas2:") + name;
        if (ValidatedUser(url, platform, events.reporter) != name) ++wrong;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_TRUE(events.log.events().empty());
}

TEST(ConcurrentValidation, AgainstTheCasServer) {
  constexpr int kThreads = 4;
  constexpr int kRounds = 25;
  CasServerProcess server;
  ASSERT_TRUE(server.running());
  CurlHttpSettings settings;
  settings.total_timeout = std::chrono::milliseconds(10'000);
  CurlLibxml2ValidationPlatform platform(settings);
  RecordingReporter events;
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kRounds; ++i) {
        const std::string ticket = IssueTicket(platform, server.url(), "S", "bob");
        const std::string url = server.url() + (i % 2 == 0 ? "/validate" : "/serviceValidate") +
                                "?service=S&ticket=" + ticket;
        if (ValidatedUser(url, platform, events.reporter) != "bob") ++wrong;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_TRUE(events.log.events().empty());
}

}  // namespace
}  // namespace turnpike
