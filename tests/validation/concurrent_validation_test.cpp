// Many validations at once, as on a web server's request threads: each call
// must use only its own objects and text (the CAS 1.0 splitting included).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/posix/curl_libxml2_validation.h"
#include "tests/validation/cas_server_process.h"
#include "tests/validation/event_matchers.h"
#include "validation/validate_ticket.h"

namespace turnpike {
namespace {

// The real XML layer with an HTTP request that answers from the URL itself
// ("cas1:NAME" or "cas2:NAME"), so that the parsing runs at full speed.
class CannedRequest final : public HttpRequest {
 public:
  bool Get(const char* url) override {
    const std::string text(url);
    const std::string name = text.substr(5);
    body_ = text.rfind("cas1:", 0) == 0
                ? "yes\n" + name + "\n"
                : "<cas:serviceResponse xmlns:cas='http://www.yale.edu/tp/cas'>"
                  "<cas:authenticationSuccess><cas:user>" +
                      name + "</cas:user></cas:authenticationSuccess></cas:serviceResponse>";
    return true;
  }
  std::optional<NarrowText> ResponseText() override { return NarrowText{body_}; }

 private:
  std::string body_;
};

class CannedSession final : public ValidationSession {
 public:
  explicit CannedSession(std::unique_ptr<ValidationSession> real) : real_(std::move(real)) {}
  std::unique_ptr<HttpRequest> CreateHttpRequest() override {
    return std::make_unique<CannedRequest>();
  }
  std::unique_ptr<XmlDocument> CreateXmlDocument() override { return real_->CreateXmlDocument(); }

 private:
  std::unique_ptr<ValidationSession> real_;
};

class CannedPlatform final : public ValidationPlatform {
 public:
  std::unique_ptr<ValidationSession> Begin() override {
    return std::make_unique<CannedSession>(real_.Begin());
  }

 private:
  CurlLibxml2ValidationPlatform real_;
};

TEST(ConcurrentValidation, EachCallReadsItsOwnAnswer) {
  constexpr int kThreads = 8;
  constexpr int kRounds = 200;
  CannedPlatform platform;
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
        std::string ticket;
        {
          const auto session = platform.Begin();
          const auto request = session->CreateHttpRequest();
          const std::string issue = server.url() + "/_ticket?service=S&username=bob";
          if (request->Get(issue.c_str())) {
            ticket = request->ResponseText().value_or(NarrowText{}).text;
          }
        }
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
