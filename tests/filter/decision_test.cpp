// The request decision, one test per road, on the in-memory host with a
// scripted validation service, the real in-process cache and a fake clock.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "config/settings_loader.h"
#include "fakes/fake_clock.h"
#include "fakes/fake_registry.h"
#include "fakes/test_configuration.h"
#include "fakes/fake_random.h"
#include "fakes/fake_validation_platform.h"
#include "filter/filter.h"
#include "platform/memory/in_memory_filter_host.h"
#include "platform/memory/recording_event_log.h"

namespace turnpike {
namespace {

using Op = InMemoryFilterHost::Operation;

RecordedEvent Info(const char* m, const std::string& d) { return {EventSeverity::Information, 0, 4, m, d}; }
RecordedEvent Error(const char* m, const std::string& d) { return {EventSeverity::Error, 0, 1, m, d}; }
RecordedEvent Warning(const char* m, const std::string& d) { return {EventSeverity::Warning, 0, 2, m, d}; }

constexpr const char* kNoTicketOrCookie = "The Turnpike filter was unable to find a ticket or cookie.";
constexpr const char* kLoginBlock =
    "Location: https://cas.example.org/cas/login?service=http://www.example.org/secure/page%3fa%3d1\r\n\r\n";

// A store that cannot make the cookie value.
class RefusingStore final : public SignOnStore {
 public:
  std::optional<std::string> Store(const SignOn&) noexcept override { return std::nullopt; }
  std::optional<SignOn> Lookup(std::string_view) noexcept override { return std::nullopt; }
  std::optional<SignOn> RemoveByTicket(std::string_view) noexcept override { return std::nullopt; }
  std::optional<SignOn> RemoveByCookie(std::string_view) noexcept override { return std::nullopt; }
};

class Decision : public testing::Test {
 protected:
  void SetUp() override {
    WriteTestConfiguration(registry_, {"/secure/"}, 1);
    registry_.SetDword(kSettingsKey, "SessionTimeout", 60);
    registry_.SetDword(kSettingsKey, "CacheCleanTimeout", 600);
    validation_.body = "yes\nalice\n";  // CAS 1.0: not XML, so the text parser reads it
  }

  void Start(SignOnStore* store = nullptr, ValidationSlots* slots = nullptr) {
    filter_.emplace(PlatformServices{.registry = &registry_, .event_log = &log_, .clock = &clock_,
                                     .validation = &validation_, .credentials = store,
                                     .validation_slots = slots, .default_max_validations = 3,
                                     .random = &random_});
    ASSERT_TRUE(filter_->Start());
    log_.TakeEvents();
  }

  FilterStatus Run(InMemoryFilterHost& host) { return filter_->HttpFilterProc(host, kSfNotifyPreprocHeaders); }

  // The validation URLs asked of the CAS server.
  std::vector<std::string> Asked() const {
    std::vector<std::string> urls;
    for (const std::string& call : validation_.calls) {
      if (call.rfind("Get ", 0) == 0) urls.push_back(call.substr(4));
    }
    return urls;
  }

  // Signs "alice" on under ST-1 and forgets the events of doing so.
  void SignOn() {
    InMemoryFilterHost host = BrowserRequest("/secure/page?a=1&ticket=ST-1");
    ASSERT_EQ(Run(host), FilterStatus::FinishedKeepConn);
    log_.TakeEvents();
  }

  FakeRegistry registry_;
  RecordingEventLog log_;
  FakeClock clock_;
  FakeValidationPlatform validation_;
  FakeRandom random_;
  std::optional<TurnpikeFilter> filter_;
};

// A CAS 2.0 success for alice releasing `attributes` ({name, value}, one
// element each).
void ReleaseAttributes(FakeValidationPlatform& validation,
                       const std::vector<std::pair<std::string, std::string>>& attributes) {
  FakeXmlElement released{"attributes"};
  for (const auto& [name, value] : attributes) released.children.push_back(FakeXmlElement{name, value});
  validation.load = XmlLoadResult::WellFormed;
  validation.queries = {{"//cas:authenticationSuccess", XmlQueryResult::Found}, {"//cas:user", XmlQueryResult::Found}};
  validation.nodes = {{"//cas:authenticationSuccess", FakeXmlElement{"authenticationSuccess", "", true, {released}}},
                      {"//cas:user", FakeXmlElement{"user", "alice"}}};
}

TEST_F(Decision, NeitherTicketNorCookieGoesToLogin) {
  Start();
  InMemoryFilterHost host = BrowserRequest("/secure/page?a=1");
  EXPECT_EQ(Run(host), FilterStatus::FinishedKeepConn);
  ASSERT_TRUE(host.response());
  EXPECT_EQ(host.response()->status_text, "302 Redirection");
  EXPECT_EQ(host.response()->headers, kLoginBlock);
  EXPECT_EQ(log_.events(), std::vector<RecordedEvent>{Info(kNoTicketOrCookie, "")});
  EXPECT_TRUE(validation_.calls.empty());
}

TEST_F(Decision, ValidTicketSetsTheCookieAndReturnsToThePageAsked) {
  Start();
  InMemoryFilterHost host = BrowserRequest("/secure/page?a=1&ticket=ST-1-abc", "VAVUZE=stale");
  EXPECT_EQ(Run(host), FilterStatus::FinishedKeepConn);
  ASSERT_TRUE(host.response());
  EXPECT_EQ(host.response()->headers,
            "Location: http://www.example.org/secure/page?a=1\r\nSet-Cookie: VAVUZE=ST-1-abc;path=/\r\n\r\n");
  EXPECT_EQ(Asked(), std::vector<std::string>{"https://cas.example.org/cas/serviceValidate?service="
                                              "http://www.example.org/secure/page%3fa%3d1&ticket=ST-1-abc"});
  EXPECT_EQ(log_.events(),
            (std::vector<RecordedEvent>{Info("The Turnpike filter created authentication map entries for:", "alice"),
                                        Info("The Turnpike filter created an authorization cookie for:", "alice")}));

  // The cookie it set lets the next request through with the user.
  InMemoryFilterHost next = BrowserRequest("/secure/page", "theme=dark; VAVUZE=ST-1-abc");
  log_.TakeEvents();
  EXPECT_EQ(Run(next), FilterStatus::NextNotification);
  EXPECT_EQ(next.HeaderValues("CASUser:"), std::vector<std::string>{"alice"});
  EXPECT_FALSE(next.response());
  EXPECT_EQ(log_.events().back(), Info("The Turnpike filter authenticated via cookie:", "alice"));
}

TEST_F(Decision, RefusedTicketGoesToLoginWithTheValidationUrl) {
  validation_.body = "no\n\n";
  Start();
  InMemoryFilterHost host = BrowserRequest("/secure/page?a=1&ticket=ST-9");
  EXPECT_EQ(Run(host), FilterStatus::FinishedKeepConn);
  EXPECT_EQ(host.response()->headers,
            "Location: https://cas.example.org/cas/login?service=http://www.example.org/secure/page%3fa%3d1\r\n"
            "Set-Cookie: TurnpikeFailed=1;path=/;Max-Age=120\r\n\r\n");
  EXPECT_EQ(log_.events(),
            std::vector<RecordedEvent>{Info("The Turnpike filter was unable to validate the ticket:",
                                            "https://cas.example.org/cas/serviceValidate?service=http://"
                                            "www.example.org/secure/page%3fa%3d1&ticket=ST-9")});
}

// Whatever makes every validation fail (a CAS server the web server cannot
// reach, a wrong ValidationPath), the browser goes round the login page once
// more and is then told, instead of being sent round for ever.
TEST_F(Decision, ASecondFailedTicketInARowEndsOnTheFailurePage) {
  validation_.fail_get = true;
  Start();
  InMemoryFilterHost host = BrowserRequest("/secure/page?ticket=ST-2", "TurnpikeFailed=1; VAVUZE=ST-old");
  EXPECT_EQ(Run(host), FilterStatus::FinishedKeepConn);
  EXPECT_EQ(host.response()->status_text, "403 Forbidden");
  EXPECT_NE(host.response()->body.find("contact the administrator"), std::string::npos);
  EXPECT_EQ(log_.events().back(),
            Error("The Turnpike filter stopped a sign-on after two ticket validations in a row failed, and "
                  "showed the browser the sign-on failure page, for:",
                  "http://www.example.org/secure/page (the CAS server could not be reached)"));

  // The CAS server's own answer is named when it refused.
  validation_.fail_get = false;
  validation_.body = "no\n\n";
  InMemoryFilterHost refused = BrowserRequest("/secure/page?ticket=ST-3", "TurnpikeFailed=1");
  EXPECT_EQ(Run(refused), FilterStatus::FinishedKeepConn);
  EXPECT_EQ(log_.events().back().detail, "http://www.example.org/secure/page (the CAS server answered: no\n\n)");

  // One sign-on clears the mark.
  validation_.body = "yes\nalice\n";
  InMemoryFilterHost good = BrowserRequest("/secure/page?ticket=ST-4", "TurnpikeFailed=1");
  EXPECT_EQ(Run(good), FilterStatus::FinishedKeepConn);
  EXPECT_EQ(good.response()->headers,
            "Location: http://www.example.org/secure/page\r\nSet-Cookie: VAVUZE=ST-4;path=/\r\n"
            "Set-Cookie: TurnpikeFailed=;path=/;Max-Age=0\r\n\r\n");
}

// The ticket is the value of its own parameter and no more; what follows it
// is part of the page's URL, which reaches the validation escaped as the one
// service value.
TEST_F(Decision, TicketCannotInjectValidationParameters) {
  Start();
  InMemoryFilterHost host = BrowserRequest("/secure/?ticket=ST-1&service=http://elsewhere/&renew=true");
  EXPECT_EQ(Run(host), FilterStatus::FinishedKeepConn);
  EXPECT_EQ(Asked(), std::vector<std::string>{"https://cas.example.org/cas/serviceValidate?service=http://"
                                              "www.example.org/secure/%3fservice%3dhttp://elsewhere/%26renew%3dtrue"
                                              "&ticket=ST-1"});
  EXPECT_EQ(host.response()->headers,
            "Location: http://www.example.org/secure/?service=http://elsewhere/&renew=true\r\n"
            "Set-Cookie: VAVUZE=ST-1;path=/\r\n\r\n");
}

TEST_F(Decision, EmptyTicketIsStillValidated) {
  validation_.body = "no\n";
  Start();
  InMemoryFilterHost host = BrowserRequest("/secure/?ticket=", "VAVUZE=ST-1");
  EXPECT_EQ(Run(host), FilterStatus::FinishedKeepConn);
  EXPECT_EQ(Asked(), std::vector<std::string>{
                         "https://cas.example.org/cas/serviceValidate?service=http://www.example.org/secure/&ticket="});
}

TEST_F(Decision, TicketPastTheValidationLimitGoesToLoginAtOnceWithAWarning) {
  InProcessValidationSlots lent;
  const ValidationSlot a(lent, 3), b(lent, 3), c(lent, 3);  // the host's default, all taken
  Start(nullptr, &lent);
  InMemoryFilterHost host = BrowserRequest("/secure/page?a=1&ticket=ST-1");
  EXPECT_EQ(Run(host), FilterStatus::FinishedKeepConn);
  EXPECT_EQ(host.response()->headers,
            "Location: https://cas.example.org/cas/login?service=http://www.example.org/secure/page%3fa%3d1\r\n"
            "Set-Cookie: TurnpikeFailed=1;path=/;Max-Age=120\r\n\r\n")
      << "the same redirect as a refused ticket";
  EXPECT_TRUE(validation_.calls.empty()) << "nothing is asked of the CAS server";
  EXPECT_EQ(log_.events(),
            std::vector<RecordedEvent>{Warning(
                "The Turnpike filter is validating as many tickets as MaxValidations allows; the "
                "browser was sent to log in again:",
                "http://www.example.org/secure/page?a=1")});
}

TEST_F(Decision, EveryValidationGivesItsSlotBack) {
  registry_.SetDword(kSettingsKey, "MaxValidations", 1);
  Start();
  for (const char* ticket : {"ST-1", "ST-2", "ST-3"}) {  // signed on, refused, validated again
    InMemoryFilterHost host = BrowserRequest(std::string("/secure/?ticket=") + ticket);
    EXPECT_EQ(Run(host), FilterStatus::FinishedKeepConn);
    validation_.body = "no\n\n";
  }
  EXPECT_EQ(Asked().size(), 3u);
}

TEST_F(Decision, StartHandsTheValidationTimeoutToThePlatform) {
  Start();
  EXPECT_EQ(validation_.total_timeout, std::chrono::milliseconds(15'000));
  registry_.SetDword(kSettingsKey, "ValidationTimeout", 2);
  Start();
  EXPECT_EQ(validation_.total_timeout, std::chrono::milliseconds(2'000));
}

TEST_F(Decision, UnknownCookieIsAnErrorAndGoesToLogin) {
  Start();
  InMemoryFilterHost host = BrowserRequest("/secure/page?a=1", "VAVUZE=ST-forged");
  EXPECT_EQ(Run(host), FilterStatus::FinishedKeepConn);
  EXPECT_EQ(host.response()->headers, kLoginBlock);
  EXPECT_EQ(log_.events(),
            (std::vector<RecordedEvent>{
                Info("The Turnpike filter was unable to look up an authentication record for: ", "ST-forged"),
                Error("The Turnpike filter was unable to validate the authentication cookie:", "ST-forged")}));
}

// Two cookies of the name come from two paths or domains; the stale one may
// come first. None known: the error names the first.
TEST_F(Decision, EveryVavuzeCookieIsTriedInOrder) {
  Start();
  SignOn();
  const std::string analytics = "_ga=" + std::string(3000, 'g');
  InMemoryFilterHost host = BrowserRequest("/secure/page", "VAVUZE=ST-stale; VAVUZE=ST-1");
  host.AddRequestHeader("Cookie:", analytics);
  EXPECT_EQ(Run(host), FilterStatus::NextNotification);
  EXPECT_EQ(host.HeaderValues("CASUser:"), std::vector<std::string>{"alice"});

  InMemoryFilterHost unknown = BrowserRequest("/secure/page?a=1", analytics + "; VAVUZE=ST-x; VAVUZE=ST-y");
  EXPECT_EQ(Run(unknown), FilterStatus::FinishedKeepConn);
  EXPECT_EQ(unknown.response()->headers, kLoginBlock);
  EXPECT_EQ(log_.events().back(),
            Error("The Turnpike filter was unable to validate the authentication cookie:", "ST-x"));
}

// What the server will serve protects a request as much as what was sent.
TEST_F(Decision, ProtectedByTheServersPathAndWithoutPathParameters) {
  Start();
  const struct { const char* url; const char* server_path; bool protected_; } rows[] = {
      {"/x/../secure/", "/secure/", true},        {"/secure;x/j/foo", nullptr, true},
      {"/SECURE;jsessionid=1/", nullptr, true},   {"/public/%2e%2e/secure/", "/secure/", true},
      {"/a/b", "/a/b", false},                    {"/public/a;secure/", nullptr, false},
      {"/x;y?q=/secure;z/", nullptr, false},       {"/p/%2e%2e/x", "/secure;p/", true},
  };
  for (const auto& row : rows) {
    InMemoryFilterHost host = BrowserRequest(row.url);
    if (row.server_path != nullptr) host.SetServerPath(row.server_path);
    EXPECT_EQ(Run(host), row.protected_ ? FilterStatus::FinishedKeepConn : FilterStatus::NextNotification)
        << row.url;
  }
}

// A host that chooses the protected requests itself (Apache's AuthType,
// nginx's `turnpike on`) gets the same roads for a URL outside every path,
// and learns who signed on; the Paths alone still let that URL pass.
TEST_F(Decision, RequestsTheServerProtectsTakeTheRoadsWithoutAPath) {
  Start();
  SignOn();
  InMemoryFilterHost anonymous = BrowserRequest("/app/page?a=1");
  anonymous.SetProtectedByServer();
  EXPECT_EQ(Run(anonymous), FilterStatus::FinishedKeepConn);
  EXPECT_EQ(anonymous.response()->headers,
            "Location: https://cas.example.org/cas/login?service=http://www.example.org/app/page%3fa%3d1\r\n\r\n");
  EXPECT_FALSE(anonymous.signed_on());

  InMemoryFilterHost known = BrowserRequest("/app/page", "VAVUZE=ST-1");
  known.SetProtectedByServer();
  EXPECT_EQ(Run(known), FilterStatus::NextNotification);
  ASSERT_TRUE(known.signed_on());
  EXPECT_EQ(known.signed_on()->user, "alice");
  EXPECT_EQ(known.HeaderValues("CASUser:"), std::vector<std::string>{"alice"});

  InMemoryFilterHost by_paths = BrowserRequest("/app/page", "VAVUZE=ST-1");
  EXPECT_EQ(Run(by_paths), FilterStatus::NextNotification);
  EXPECT_FALSE(by_paths.signed_on());
  EXPECT_TRUE(by_paths.HeaderValues("CASUser:").empty());
}

TEST_F(Decision, ExpiredSessionGoesBackToLogin) {
  Start();
  SignOn();
  clock_.AdvanceMinutes(60);
  InMemoryFilterHost host = BrowserRequest("/secure/page?a=1", "VAVUZE=ST-1");
  EXPECT_EQ(Run(host), FilterStatus::FinishedKeepConn);
  EXPECT_EQ(host.response()->headers, kLoginBlock);
  EXPECT_EQ(log_.events().back(),
            Error("The Turnpike filter was unable to validate the authentication cookie:", "ST-1"));
}

TEST_F(Decision, ForgedIdentityHeaderNeverReachesTheApplication) {
  Start();
  SignOn();
  for (const std::string& forged : {std::string("admin"), std::string(5000, 'a')}) {
    InMemoryFilterHost host = BrowserRequest("/secure/page", "VAVUZE=ST-1");
    host.AddRequestHeader("CASUser:", forged);
    host.AddRequestHeader("casuser:", "root");
    host.AddRequestHeader("CAS_User:", "root");
    EXPECT_EQ(Run(host), FilterStatus::NextNotification);
    EXPECT_EQ(host.HeaderValues("CASUser:"), std::vector<std::string>{"alice"}) << forged.size();
    EXPECT_EQ(host.HeaderValues("CAS_User:"), std::vector<std::string>{"root"}) << "not a look-alike of CASUser";
  }
}

TEST_F(Decision, FailedIdentityHeaderStillReportsTheCookie) {
  Start();
  SignOn();
  InMemoryFilterHost host = BrowserRequest("/secure/page", "VAVUZE=ST-1");
  host.Fail(Op::ReplaceHeader);
  EXPECT_EQ(Run(host), FilterStatus::Error);
  const std::vector<RecordedEvent> events = log_.events();
  ASSERT_GE(events.size(), 2u);
  EXPECT_EQ(events[events.size() - 2],
            Error("The Turnpike filter was unable to set the CASUser authentication header: ", "CASUser:"));
  EXPECT_EQ(events.back(), Info("The Turnpike filter authenticated via cookie:", "alice"));
}

TEST_F(Decision, UnstorableSignOnIsAnError) {
  RefusingStore store;
  Start(&store);
  InMemoryFilterHost host = BrowserRequest("/secure/?ticket=ST-1");
  EXPECT_EQ(Run(host), FilterStatus::Error);
  EXPECT_FALSE(host.response());
  EXPECT_EQ(log_.events(), std::vector<RecordedEvent>{Error(
                               "The Turnpike filter was unable to set an authentication cookie for the user:", "alice")});
}

TEST_F(Decision, MissingServiceUrlIsAnErrorWithoutARedirect) {
  Start();
  InMemoryFilterHost host("/secure/?ticket=ST-1");
  host.SetServerVariable("HTTPS", "off");  // and no SERVER_NAME
  EXPECT_EQ(Run(host), FilterStatus::Error);
  EXPECT_FALSE(host.response());
  EXPECT_TRUE(validation_.calls.empty()) << "no validation without a service";
  EXPECT_EQ(log_.events(), std::vector<RecordedEvent>{Error(
                               "The Turnpike filter was unable to assemble a service url for the request: ", "")});
}

TEST_F(Decision, RefusedRedirectIsAnError) {
  Start();
  InMemoryFilterHost host = BrowserRequest("/secure/");
  host.Fail(Op::SendAnswer);
  EXPECT_EQ(Run(host), FilterStatus::Error);
  EXPECT_EQ(log_.events().back(),
            Error("The Turnpike filter was unable to send a login redirection header to the browser.", ""));
}

TEST_F(Decision, DebugOffKeepsOnlyErrorsAndWarnings) {
  registry_.SetDword(kSettingsKey, "Debug", 0);
  Start();
  SignOn();
  InMemoryFilterHost known = BrowserRequest("/secure/", "VAVUZE=ST-1");
  InMemoryFilterHost unknown = BrowserRequest("/secure/", "VAVUZE=ST-2");
  InMemoryFilterHost neither = BrowserRequest("/secure/");
  EXPECT_EQ(Run(known), FilterStatus::NextNotification);
  EXPECT_EQ(Run(unknown), FilterStatus::FinishedKeepConn);
  EXPECT_EQ(Run(neither), FilterStatus::FinishedKeepConn);
  EXPECT_EQ(log_.events(), std::vector<RecordedEvent>{
                               Error("The Turnpike filter was unable to validate the authentication cookie:", "ST-2")});
}

// IIS gives a filter no request body: a configuration that asks for single
// logout there would leave users signed on after CAS logged them out.
TEST_F(Decision, SingleLogoutIsRefusedWhereTheHostReadsNoBody) {
  registry_.SetDword(kSettingsKey, "SingleLogout", 1);
  TurnpikeFilter filter(PlatformServices{&registry_, &log_, &clock_, &validation_});
  EXPECT_FALSE(filter.Start());
  EXPECT_EQ(log_.TakeEvents(), std::vector<RecordedEvent>{Error(
      "The Turnpike filter cannot read the single-logout requests of CAS on this web server, please "
      "remove the value:", "SingleLogout")});
}

// The application trusts every header under the prefix as the CAS server's
// word: a browser's own never stays, and no attribute passes for the user.
TEST_F(Decision, AttributesReachTheApplicationUnderThePrefixAndForgedOnesNever) {
  registry_.SetString(kSettingsKey, "AuthHeader", "CAS-User");
  registry_.SetString(kSettingsKey, "AttributeHeaderPrefix", "CAS-");
  ReleaseAttributes(validation_, {{"mail", "alice@example.org"}, {"memberOf", "staff"}, {"memberOf", "a,b\\c"},
                                  {"user", "root"}, {"MAIL", "other@example.org"}, {"bad name", "x"},
                                  {"note", "one\r\nX-Admin: 1\t\x7f"}});
  Start();
  SignOn();
  InMemoryFilterHost host = BrowserRequest("/secure/page", "VAVUZE=ST-1");
  for (const char* forged : {"CAS-mail:", "cas_MemberOf:", "CAS.Extra:", "CAS-User:", "cas-user:"}) {
    host.AddRequestHeader(forged, "mallory");
  }
  EXPECT_EQ(Run(host), FilterStatus::NextNotification);
  const std::pair<const char*, std::vector<std::string>> expected[] = {
      {"CAS-User:", {"alice"}},
      {"CAS-mail:", {"alice@example.org"}},
      {"CAS-memberOf:", {"staff, a\\,b\\\\c"}},
      {"cas_MemberOf:", {}},
      {"CAS.Extra:", {}},
      {"CAS-bad name:", {}},
      {"CAS-note:", {"one\\x0D\\x0AX-Admin: 1\\x09\\x7F"}},
  };
  for (const auto& [name, values] : expected) EXPECT_EQ(host.HeaderValues(name), values) << name;

  // Without the prefix nothing under it is looked at or passed on.
  filter_->Stop();
  registry_.SetRaw(kSettingsKey, "AttributeHeaderPrefix", RegistryType::None, "");
  Start();
  SignOn();
  InMemoryFilterHost plain = BrowserRequest("/secure/page", "VAVUZE=ST-1");
  plain.Fail(Op::RemovePrefixedHeaders);
  EXPECT_EQ(Run(plain), FilterStatus::NextNotification);
  EXPECT_EQ(plain.HeaderValues("CAS-mail:"), std::vector<std::string>{});
}

TEST_F(Decision, AttributeHeadersThatCannotBeMadeSafeAreAnError) {
  registry_.SetString(kSettingsKey, "AttributeHeaderPrefix", "CAS-");
  ReleaseAttributes(validation_, {{"mail", "alice@example.org"}});
  Start();
  SignOn();
  for (const Op op : {Op::RemovePrefixedHeaders, Op::ReplaceHeader}) {
    InMemoryFilterHost host = BrowserRequest("/secure/page", "VAVUZE=ST-1");
    host.Fail(op, op == Op::ReplaceHeader ? std::optional<std::string>("CAS-mail") : std::nullopt);
    log_.TakeEvents();
    EXPECT_EQ(Run(host), FilterStatus::Error);
    const std::vector<RecordedEvent> events = log_.events();
    const RecordedEvent event =
        op == Op::ReplaceHeader ? Error("The Turnpike filter was unable to set the attribute header:", "CAS-mail")
                                : Error("The Turnpike filter was unable to remove the browser's headers under the "
                                        "attribute header prefix:", "CAS-");
    EXPECT_EQ(std::count(events.begin(), events.end(), event), 1);
  }
}

// 16 KiB, counted as the shared stores encode attributes: 8 bytes and the
// name per attribute, 4 bytes and the value per value.
TEST_F(Decision, AttributesOverSixteenKiBSignNobodyOn) {
  for (const std::size_t size : {std::size_t{16384}, std::size_t{16385}}) {
    ReleaseAttributes(validation_, {{"x", std::string(size - 8 - 1 - 4, 'v')}});
    Start();
    InMemoryFilterHost host = BrowserRequest("/secure/page?a=1&ticket=ST-1");
    EXPECT_EQ(Run(host), FilterStatus::FinishedKeepConn);
    const bool refused = size > kMaxAttributeBytes;
    EXPECT_EQ(host.response()->headers.find("VAVUZE=") == std::string::npos, refused) << size;
    EXPECT_EQ(host.response()->headers.find("TurnpikeFailed=1") != std::string::npos, refused) << size;
    const std::vector<RecordedEvent> events = log_.TakeEvents();
    const RecordedEvent event =
        Error("The Turnpike filter refused a sign-on whose attributes take more than 16 KiB, for:", "alice");
    EXPECT_EQ(std::count(events.begin(), events.end(), event), refused ? 1 : 0) << size;
    filter_->Stop();
  }
}

// A ticket is written into every access log line of its URL; the cookie
// must not be that ticket.
TEST_F(Decision, OpaqueCookieCarriesRandomBitsAndTheTicketIsNoCookie) {
  registry_.SetDword(kSettingsKey, "OpaqueCookie", 1);
  registry_.SetString(kSettingsKey, "CookieAttributes", "HttpOnly; SameSite=Lax");
  Start();
  InMemoryFilterHost host = BrowserRequest("/secure/page?a=1&ticket=ST-1");
  EXPECT_EQ(Run(host), FilterStatus::FinishedKeepConn);
  const std::string cookie = "VAVUZE=01010101010101010101010101010101";
  EXPECT_EQ(host.response()->headers, "Location: http://www.example.org/secure/page?a=1\r\nSet-Cookie: " + cookie +
                                          ";path=/; HttpOnly; SameSite=Lax\r\n\r\n");
  InMemoryFilterHost next = BrowserRequest("/secure/page", cookie);
  EXPECT_EQ(Run(next), FilterStatus::NextNotification);
  EXPECT_EQ(next.HeaderValues("CASUser:"), std::vector<std::string>{"alice"});
  InMemoryFilterHost replayed = BrowserRequest("/secure/page?a=1", "VAVUZE=ST-1");
  log_.TakeEvents();
  EXPECT_EQ(Run(replayed), FilterStatus::FinishedKeepConn);
  EXPECT_EQ(replayed.response()->headers, kLoginBlock);
  EXPECT_EQ(log_.events().back(), Error("The Turnpike filter was unable to validate the authentication cookie:", "ST-1"));
}

TEST_F(Decision, OpaqueCookieWithoutAGeneratorRefusesTheStart) {
  registry_.SetDword(kSettingsKey, "OpaqueCookie", 1);
  TurnpikeFilter filter(PlatformServices{&registry_, &log_, &clock_, &validation_});
  EXPECT_FALSE(filter.Start());
  EXPECT_EQ(log_.events().back(), Error("A Turnpike registry configuration value is missing or null, please set a "
                                        "valid value for", "OpaqueCookie"));
}

}  // namespace
}  // namespace turnpike
