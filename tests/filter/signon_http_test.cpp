// The whole sign-on on the in-memory host, validated over real loopback HTTP
// at the test CAS server, as a browser would go through it.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "config/settings_loader.h"
#include "fakes/fake_clock.h"
#include "fakes/fake_registry.h"
#include "fakes/test_configuration.h"
#include "filter/filter.h"
#include "platform/memory/in_memory_filter_host.h"
#include "platform/memory/recording_event_log.h"
#include "platform/posix/curl_libxml2_validation.h"
#include "tests/validation/cas_server_process.h"
#include "tests/validation/event_matchers.h"

namespace turnpike {
namespace {

class SignOnOverHttp : public testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    ASSERT_TRUE(cas_.running());
    WriteTestConfiguration(registry_, {"/secure/"}, 1);
    registry_.SetString(kSettingsKey, "ServerURL", cas_.url());
    registry_.SetString(kSettingsKey, "ValidationPath", GetParam());
    registry_.SetDword(kSettingsKey, "SessionTimeout", 30);
    ASSERT_TRUE(filter_.Start());
    log_.TakeEvents();
  }
  void TearDown() override { filter_.Stop(); }

  struct Answer {
    FilterStatus status;
    std::unique_ptr<InMemoryFilterHost> host;
    std::string headers() const { return host->response() ? host->response()->headers : ""; }
  };

  Answer Browse(const std::string& url, const std::string& cookie = "",
                const std::vector<std::pair<std::string, std::string>>& extra = {}) {
    auto host = std::make_unique<InMemoryFilterHost>(BrowserRequest(url, cookie));
    for (const auto& [name, value] : extra) host->AddRequestHeader(name, value);
    const FilterStatus status = filter_.HttpFilterProc(*host, kSfNotifyPreprocHeaders);
    return Answer{status, std::move(host)};
  }

  // Signs `user` on at the CAS server for `service` (as it appears escaped in
  // the login redirect) and answers the ticket it issued.
  std::string TicketFor(const std::string& escaped_service, const std::string& user = "alice") {
    return IssueTicket(http_, cas_.url(), escaped_service, user);
  }

  CasServerProcess cas_;
  FakeRegistry registry_;
  RecordingEventLog log_;
  FakeClock clock_;
  CurlLibxml2ValidationPlatform http_{CurlHttpSettings{std::chrono::milliseconds(1000),
                                                       std::chrono::milliseconds(3000), 1 << 20, 10}};
  TurnpikeFilter filter_{PlatformServices{&registry_, &log_, &clock_, &http_, nullptr}};
};

TEST_P(SignOnOverHttp, ThreeRequestsFromLoginToTheApplication) {
  // 1. No ticket, no cookie: off to the login page, with the page asked for.
  Answer first = Browse("/secure/report?id=7");
  ASSERT_EQ(first.status, FilterStatus::FinishedKeepConn);
  const std::string escaped_service = "http://www.example.org/secure/report%3fid%3d7";
  EXPECT_EQ(first.headers(), "Location: " + cas_.url() + "/login?service=" + escaped_service + "\r\n\r\n");

  // 2. Back from the login page with a ticket: validated, remembered, cookie set.
  const std::string ticket = TicketFor(escaped_service);
  ASSERT_EQ(ticket.rfind("ST-", 0), 0u) << ticket;
  Answer second = Browse("/secure/report?id=7&ticket=" + ticket);
  ASSERT_EQ(second.status, FilterStatus::FinishedKeepConn) << second.headers();
  EXPECT_EQ(second.headers(), "Location: http://www.example.org/secure/report?id=7\r\nSet-Cookie: VAVUZE=" +
                                  ticket + ";path=/\r\n\r\n");

  // 3. The page again with the cookie: passed on with the user, whatever
  // identity the browser claimed for itself.
  log_.TakeEvents();
  Answer third = Browse("/secure/report?id=7", "lang=en; VAVUZE=" + ticket,
                        {{"CASUser:", "admin"}, {"CASUser:", std::string(3000, 'x')}});
  EXPECT_EQ(third.status, FilterStatus::NextNotification);
  EXPECT_FALSE(third.host->response());
  EXPECT_EQ(third.host->HeaderValues("CASUser:"), std::vector<std::string>{"alice"});
  EXPECT_EQ(log_.events().back(),
            (RecordedEvent{EventSeverity::Information, 0, 4, "The Turnpike filter authenticated via cookie:", "alice"}));
}

TEST_P(SignOnOverHttp, ATicketCountsOnceAndOnlyForItsService) {
  const std::string service = "http://www.example.org/secure/";
  const std::string ticket = TicketFor(service);
  EXPECT_NE(Browse("/secure/?ticket=" + ticket).headers().find("Set-Cookie: VAVUZE="), std::string::npos);

  log_.TakeEvents();
  Answer reused = Browse("/secure/?ticket=" + ticket);
  EXPECT_EQ(reused.headers(), "Location: " + cas_.url() + "/login?service=" + service +
                                  "\r\nSet-Cookie: TurnpikeFailed=1;path=/;Max-Age=120\r\n\r\n");
  EXPECT_EQ(log_.events().back().message, "The Turnpike filter was unable to validate the ticket:");

  const std::string elsewhere = TicketFor("http://www.example.org/other/");
  EXPECT_EQ(Browse("/secure/?ticket=" + elsewhere).headers().find("Set-Cookie: VAVUZE"), std::string::npos);
}

// A ticket issued for another site, sent with a service parameter of its
// own, must not be accepted: the parameter stays part of the page's URL,
// which the validation names escaped as one value.
TEST_P(SignOnOverHttp, TicketCannotCarryItsOwnServiceParameter) {
  const std::string other_service = "http://evil.example.net/";
  const std::string ticket = TicketFor(other_service, "mallory");
  Answer answer = Browse("/secure/?ticket=" + ticket + "&service=" + other_service);
  EXPECT_EQ(answer.status, FilterStatus::FinishedKeepConn);
  EXPECT_EQ(answer.headers().find("Set-Cookie: VAVUZE"), std::string::npos) << answer.headers();
}

TEST_P(SignOnOverHttp, TicketWinsOverCookieAndUnknownCookiesGoToLogin) {
  const std::string ticket = TicketFor("http://www.example.org/secure/");
  Answer both = Browse("/secure/?ticket=" + ticket, "VAVUZE=ST-unknown");
  EXPECT_NE(both.headers().find("Set-Cookie: VAVUZE=" + ticket), std::string::npos);

  log_.TakeEvents();
  Answer unknown = Browse("/secure/", "VAVUZE=ST-unknown");
  EXPECT_EQ(unknown.headers(), "Location: " + cas_.url() + "/login?service=http://www.example.org/secure/\r\n\r\n");
  EXPECT_EQ(log_.events().back(),
            (RecordedEvent{EventSeverity::Error, 0, 1,
                           "The Turnpike filter was unable to validate the authentication cookie:", "ST-unknown"}));
}

TEST_P(SignOnOverHttp, AnExpiredSessionGoesBackToLogin) {
  const std::string ticket = TicketFor("http://www.example.org/secure/");
  ASSERT_EQ(Browse("/secure/?ticket=" + ticket).status, FilterStatus::FinishedKeepConn);
  clock_.AdvanceMinutes(29);
  EXPECT_EQ(Browse("/secure/", "VAVUZE=" + ticket).status, FilterStatus::NextNotification);
  clock_.AdvanceMinutes(1);
  Answer expired = Browse("/secure/", "VAVUZE=" + ticket);
  EXPECT_EQ(expired.status, FilterStatus::FinishedKeepConn);
  EXPECT_NE(expired.headers().find("/login?service="), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(ValidationPaths, SignOnOverHttp,
                         testing::Values("serviceValidate", "p3/serviceValidate", "validate"),
                         [](const auto& info) {
                           std::string name = info.param;
                           for (char& c : name) c = c == '/' ? '_' : c;
                           return name;
                         });

}  // namespace
}  // namespace turnpike
