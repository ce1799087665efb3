#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "platform/posix/curl_libxml2_validation.h"
#include "tests/validation/cas2_answers.h"
#include "tests/validation/cas_server_process.h"
#include "tests/validation/event_matchers.h"
#include "validation/validate_ticket.h"

namespace turnpike {
namespace {

constexpr const char* kLoadUrl =
    "The Turnpike ISAPI filter was unable to load the Validation URL XML Document";
constexpr const char* kEscapedService = "http%3A%2F%2Fapp.example%2Fprotected%2Fpage%3Fx%3D1";
constexpr const char* kOtherEscapedService = "http%3A%2F%2Fapp.example%2Fother";

// Short time-outs keep the hanging and dripping servers' rows quick.
CurlHttpSettings TestSettings() {
  CurlHttpSettings settings;
  settings.connect_timeout = std::chrono::milliseconds(1000);
  settings.total_timeout = std::chrono::milliseconds(1500);
  return settings;
}

class CasServerTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    server_ = new CasServerProcess();
    platform_ = new CurlLibxml2ValidationPlatform(TestSettings());
  }
  static void TearDownTestSuite() {
    delete platform_;
    delete server_;
  }
  void SetUp() override { ASSERT_TRUE(server_->running()); }

  static std::string IssueTicket(const std::string& user = "alice") {
    return turnpike::IssueTicket(*platform_, server_->url(), kEscapedService, user);
  }

  static std::string ValidationUrl(const std::string& base, const std::string& path,
                                   const std::string& escaped_service,
                                   const std::string& ticket) {
    return base + "/" + path + "?service=" + escaped_service + "&ticket=" + ticket;
  }

  static CasServerProcess* server_;
  static CurlLibxml2ValidationPlatform* platform_;
};
CasServerProcess* CasServerTest::server_ = nullptr;
CurlLibxml2ValidationPlatform* CasServerTest::platform_ = nullptr;

// DoctypeEvent: the 2.x parse event with the answer as received.
enum class Expect { NoEvent, LoadUrlEvent, DoctypeEvent };

struct ServerCase {
  const char* name;
  const char* prefix;  // before the validation path, e.g. "/_fault/hang"
  std::optional<std::string> expected;
  Expect events = Expect::NoEvent;
  const char* path = "serviceValidate";
  const char* user = "alice";
  bool other_service = false;
};

void PrintTo(const ServerCase& row, std::ostream* os) { *os << row.name; }

const ServerCase kServerCases[] = {
    {"Cas2GoodTicket", "", "alice"},
    {"Cas1GoodTicket", "", "alice", Expect::NoEvent, "validate"},
    {"Cas1NameWithBlankIsCut", "", "carol", Expect::NoEvent, "validate", "carol smith"},
    {"Cas2WrongService", "", std::nullopt, Expect::NoEvent, "serviceValidate", "alice", true},
    {"Cas1WrongService", "", std::nullopt, Expect::NoEvent, "validate", "alice", true},
    {"Html404", "/_fault/html404", std::nullopt},
    {"Html500", "/_fault/html500", std::nullopt},
    {"EmptyBody", "/_fault/empty", std::nullopt},
    {"NonUtf8Bytes", "/_fault/latin1", std::nullopt},
    {"BillionLaughs", "/_fault/laughs", std::nullopt, Expect::DoctypeEvent},
    {"ExternalEntities", "/_fault/xxe", std::nullopt, Expect::DoctypeEvent},
    {"HugeBody", "/_fault/huge", std::nullopt, Expect::LoadUrlEvent},
    {"ConnectionReset", "/_fault/reset", std::nullopt, Expect::LoadUrlEvent},
    {"HangingServer", "/_fault/hang", std::nullopt, Expect::LoadUrlEvent},
    {"DrippingServer", "/_fault/slow", std::nullopt, Expect::LoadUrlEvent},
};

class ValidateAgainstServerTest : public CasServerTest,
                                  public testing::WithParamInterface<ServerCase> {};

TEST_P(ValidateAgainstServerTest, Validates) {
  const ServerCase& row = GetParam();
  RecordingReporter events;
  const std::string url =
      ValidationUrl(server_->url() + row.prefix, row.path,
                    row.other_service ? kOtherEscapedService : kEscapedService, IssueTicket(row.user));

  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(ValidatedUser(url, *platform_, events.reporter), row.expected);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));

  const std::vector<RecordedEvent> recorded = events.log.events();
  if (row.events == Expect::DoctypeEvent) {
    ASSERT_EQ(recorded.size(), 1u);
    EXPECT_EQ(recorded[0].message, kCas2Unparsed);
    EXPECT_EQ(recorded[0].detail.rfind("<?xml version=\"1.0\"?>\n<!DOCTYPE ", 0), 0u);
    return;
  }
  std::vector<RecordedEvent> expected_events;
  if (row.events == Expect::LoadUrlEvent) expected_events.push_back(ErrorEvent(kLoadUrl, url));
  EXPECT_EQ(recorded, expected_events);
}

INSTANTIATE_TEST_SUITE_P(CasServer, ValidateAgainstServerTest, testing::ValuesIn(kServerCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(CasServerTest, TicketIsSingleUse) {
  RecordingReporter events;
  const std::string url =
      ValidationUrl(server_->url(), "serviceValidate", kEscapedService, IssueTicket());
  EXPECT_EQ(ValidatedUser(url, *platform_, events.reporter), "alice");
  EXPECT_EQ(ValidatedUser(url, *platform_, events.reporter), std::nullopt);
  EXPECT_TRUE(events.log.events().empty());
}

// The whole record from a CAS 3.0 server's indented answer.
TEST_F(CasServerTest, Cas3AnswerGivesTheWholeSignOn) {
  RecordingReporter events;
  const FakeClock clock;
  const std::string ticket = IssueTicket();
  const std::string url = ValidationUrl(server_->url(), "p3/serviceValidate", kEscapedService,
                                        ticket);
  const SignOn expected{"alice",
                        {{"email", {"alice@example.org"}},
                         {"displayName", {"Alice Liddell"}},
                         {"memberOf", {"staff", "library"}}},
                        ticket, FakeClock::kStart};
  EXPECT_EQ(ValidateTicket(url.c_str(), ticket, *platform_, clock, events.reporter).sign_on,
            expected);
  EXPECT_TRUE(events.log.events().empty());
}

TEST_F(CasServerTest, XmlThatIsNoCasAnswerIsReportedWithTheDocument) {
  RecordingReporter events;
  const std::string url = ValidationUrl(server_->url() + "/_fault/notcas", "serviceValidate",
                                        kEscapedService, "ST-1");
  EXPECT_EQ(ValidatedUser(url, *platform_, events.reporter), std::nullopt);
  EXPECT_EQ(events.log.events(),
            std::vector<RecordedEvent>{ErrorEvent(
                kCas2Unparsed,
                "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                "<status><ok>true</ok><user>alice</user></status>\n")});
}

// Validations one after another keep the first connection, also across
// threads; one that the server cuts off costs two (libcurl tries a request
// that met a dead kept connection once more on a new one), and the next
// validation still answers its own user.
TEST(ConnectionReuse, ValidationsInTurnShareOneConnection) {
  CasServerProcess server;
  ASSERT_TRUE(server.running());
  CurlLibxml2ValidationPlatform platform(TestSettings());
  RecordingReporter events;
  const auto connections = [&] {
    const std::unique_ptr<HttpRequest> request = platform.Begin()->CreateHttpRequest();
    return request->Get((server.url() + "/_connections").c_str()) ? std::stoi(request->ResponseText()->text) : -1;
  };
  const auto validate = [&](const std::string& prefix, const std::string& user) {
    const std::string ticket = IssueTicket(platform, server.url(), kEscapedService, user);
    return ValidatedUser(server.url() + prefix + "/serviceValidate?service=" + kEscapedService + "&ticket=" + ticket,
                         platform, events.reporter);
  };
  const int before = connections();
  for (const char* user : {"alice", "bob", "carol smith", "alice"}) {
    std::thread([&] { EXPECT_EQ(validate("", user), user); }).join();
  }
  EXPECT_EQ(connections() - before, 0);
  EXPECT_EQ(validate("/_fault/reset", "alice"), std::nullopt);
  EXPECT_EQ(validate("", "bob"), "bob");
  EXPECT_EQ(connections() - before, 2);
}

TEST(UnreachableServer, ReportsTheUrlOnce) {
  RecordingReporter events;
  CurlLibxml2ValidationPlatform platform(TestSettings());
  const std::string url = "http://127.0.0.1:" + std::to_string(UnusedLoopbackPort()) +
                          "/cas/serviceValidate?service=" + kEscapedService + "&ticket=ST-1";
  EXPECT_EQ(ValidatedUser(url, platform, events.reporter), std::nullopt);
  EXPECT_EQ(events.log.events(), std::vector<RecordedEvent>{ErrorEvent(kLoadUrl, url)});
}

TEST(UnopenableUrl, IsReportedLikeAFailedExchange) {
  RecordingReporter events;
  CurlLibxml2ValidationPlatform platform(TestSettings());
  const char* url = "file:///etc/passwd";  // only http and https are fetched
  EXPECT_EQ(ValidatedUser(url, platform, events.reporter), std::nullopt);
  EXPECT_EQ(events.log.events(), std::vector<RecordedEvent>{ErrorEvent(kLoadUrl, url)});
}

}  // namespace
}  // namespace turnpike
