#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "filter/answers.h"
#include "filter/extraction.h"
#include "filter/service_url.h"
#include "platform/memory/in_memory_filter_host.h"
#include "platform/memory/recording_event_log.h"

namespace turnpike {
namespace {

using Op = InMemoryFilterHost::Operation;
using Text = std::optional<std::string>;
using Strings = std::vector<std::string>;
using Events = std::vector<RecordedEvent>;

struct Context {
  RecordingEventLog log;
  FilterSettings settings;
  EventReporter reporter{log, settings.Debug};
};

Events Error(const std::string& message, const std::string& detail = "") {
  return {{EventSeverity::Error, 0, 1, message, detail}};
}

InMemoryFilterHost Request(Text url, const char* https = "off") {
  InMemoryFilterHost host(std::move(url));
  host.SetServerVariable("HTTPS", https);
  host.SetServerVariable("SERVER_NAME", "h");
  return host;
}

const std::string kAssemblyFailed =
    "The Turnpike filter was unable to assemble a service url for the request: ";

TEST(EscapeUrl, EscapesExactlyTheUnsafeBytesInLowercaseHex) {
  const std::string printable_unsafe = " \"#$%&+,;<=>?@[\\]^`{|}";
  for (int b = 1; b <= 255; ++b) {
    const char input[2] = {static_cast<char>(b), '\0'};
    char expected[4] = {input[0], '\0'};
    if (b < 0x20 || b >= 0x7F || printable_unsafe.find(input[0]) != std::string::npos) {
      std::snprintf(expected, sizeof expected, "%%%02x", b);
    }
    char output[4];
    std::size_t needed = 0;
    ASSERT_TRUE(EscapeUrl(input, output, sizeof output, &needed)) << b;
    EXPECT_STREQ(output, expected) << b;
    EXPECT_EQ(needed, std::strlen(expected) + 1) << b;
  }
}

TEST(EscapeUrl, FitsOnlyWithItsTerminatorAndNeverWritesPastTheCapacity) {
  const struct { std::string in; std::size_t size; PercentSign percent; Text expected; std::size_t needed; } rows[] = {
      {"/a%20b", 9, PercentSign::Escape, "/a%2520b", 9}, {"/a%20b", 7, PercentSign::Keep, "/a%20b", 7},
      {"", 0, PercentSign::Escape, std::nullopt, 1},    {"ab?", 7, PercentSign::Escape, "ab%3f", 6},
      {"ab?", 6, PercentSign::Escape, "ab%3f", 6},      {"ab?", 5, PercentSign::Escape, std::nullopt, 6},
      {"abc", 3, PercentSign::Escape, std::nullopt, 4}, {"a??b", 3, PercentSign::Escape, std::nullopt, 9},
  };
  for (const auto& row : rows) {
    std::string out(row.size + 8, '#');
    std::size_t needed = 0;
    const bool fits = EscapeUrl(row.in.c_str(), out.data(), row.size, &needed, row.percent);
    EXPECT_EQ(fits ? Text(out.c_str()) : std::nullopt, row.expected) << row.in << row.size;
    EXPECT_EQ(out.substr(row.size), std::string(8, '#')) << row.in << row.size;
    EXPECT_EQ(needed, row.needed) << row.in;
  }
}

// The service URL is the page's URL without the one parameter the CAS server
// added, wherever the server put it, so that the browser comes back to, and
// the validation names, exactly the page it asked for.
TEST(ServiceUrl, RebuildsTheRequestUrlWithoutItsTicket) {
  const std::string a(2073, 'a');  // with "http://h/": the longest that fits
  const std::string longest(2082, 'a');
  const std::string ampersands = std::string(400, 'a') + std::string(600, '&');
  const Events refused = Error(kAssemblyFailed);
  const struct {
    const char* https;
    std::string url;
    Text unescaped, escaped;
    Events events = {};
    Text fixed = {}, base = {};  // ServiceURL, ServerBaseURL
    const char* unreadable = nullptr;  // a server variable the host cannot give
  } rows[] = {
      {"on", "/a", "https://h/a", "https://h/a"},  {"ON", "/a", "https://h/a", "https://h/a"},
      {"off", "/a", "http://h/a", "http://h/a"},   {"", "/a", "http://h/a", "http://h/a"},
      {"", "/" + a, "http://h/" + a, "http://h/" + a},
      {"off", "/a?ticket=ST-1", "http://h/a", "http://h/a"},
      {"off", "/a?ticket=ST-1&z=1", "http://h/a?z=1", "http://h/a%3fz%3d1"},
      {"off", "/a?x=1&ticket=ST-1&z=2", "http://h/a?x=1&z=2", "http://h/a%3fx%3d1%26z%3d2"},
      {"off", "/a?x=1&ticket=ST-1", "http://h/a?x=1", "http://h/a%3fx%3d1"},
      {"off", "/a?ticket=", "http://h/a", "http://h/a"},
      {"off", "/a?ticket=T#top", "http://h/a#top", "http://h/a%23top"},
      {"off", "/a?TICKET=1&ticketid=5&xticket=2", "http://h/a?TICKET=1&ticketid=5&xticket=2",
       "http://h/a%3fTICKET%3d1%26ticketid%3d5%26xticket%3d2"},
      {"off", "/secure/tickets/list", "http://h/secure/tickets/list", "http://h/secure/tickets/list"},
      {"off", "/a#x?ticket=1", "http://h/a#x?ticket=1", "http://h/a%23x%3fticket%3d1"},
      // The page's own escapes are escaped again: the CAS server decodes the
      // value once and must get the page's URL back byte for byte.
      {"off", "/a?x=a%26b&y=2&ticket=T", "http://h/a?x=a%26b&y=2", "http://h/a%3fx%3da%2526b%26y%3d2"},
      {"off", "/a", std::nullopt, std::nullopt, refused, {}, {}, "HTTPS"},
      {"off", "/a", std::nullopt, std::nullopt, refused, {}, {}, "SERVER_NAME"},
      {"off", "/" + std::string(2074, 'a'), std::nullopt, std::nullopt, refused},
      // The base URL names the server whatever the host says; a fixed
      // service URL is used as it is, without asking the host.
      {"off", "/a?b=1&ticket=T", "https://www.example.org:8443/a?b=1", "https://www.example.org:8443/a%3fb%3d1", {},
       {}, "https://www.example.org:8443"},
      {"off", "/a", "https://app/x", "https://app/x", {}, "https://app/x", "https://www.example.org:8443"},
      {"off", "/a?ticket=ST-1", "https://app/x?y=1", "https://app/x%3fy%3d1", {}, "https://app/x?y=1", {}, "HTTPS"},
      {"off", "/a?ticket=ST-1", longest, longest, {}, longest},
      {"off", "/a?ticket=ST-1", std::nullopt, std::nullopt, refused, longest + "a"},
      {"off", "/a?ticket=ST-1", std::nullopt, std::nullopt,
       Error("The Turnpike filter was unable to generate a URL Escaped redirection url for", ampersands), ampersands},
  };
  for (const auto& row : rows) {
    Context c;
    c.settings.ServiceURL = row.fixed;
    c.settings.ServerBaseURL = row.base;
    InMemoryFilterHost host = Request(row.url, row.https);
    if (row.unreadable != nullptr) host.Fail(Op::GetServerVariable, row.unreadable);
    const std::optional<ServiceUrls> urls = ServiceUrl(host, c.settings, row.url, c.reporter);
    const std::string trace = row.url.substr(0, 40) + " " + row.fixed.value_or("").substr(0, 20);
    EXPECT_EQ(urls ? Text(urls->unescaped) : std::nullopt, row.unescaped) << trace;
    EXPECT_EQ(urls ? Text(urls->escaped) : std::nullopt, row.escaped) << trace;
    EXPECT_EQ(c.log.events(), row.events) << trace;
  }
}

TEST(Extraction, TheTicketIsTheParameterNamedTicket) {
  const struct { std::string url; Text ticket; } rows[] = {
      {"/a?ticket=ST-1-abc", "ST-1-abc"},     {"/a?x=1&ticket=ST-1&b=2", "ST-1"},
      {"/a?ticket=ST-1&b=2", "ST-1"},         {"/a?ticket=ST%2D1", "ST%2D1"},
      {"/a?ticket=", ""},                     {"/a?ticket", std::nullopt},
      {"/a?Ticket=ST-1", std::nullopt},       {"/a?ticketid=5", std::nullopt},
      {"/a?xticket=5", std::nullopt},         {"/tickets/list?x=1", std::nullopt},
      {"/a/ticket=1", std::nullopt},          {"/a#?ticket=1", std::nullopt},
      {"/a?ticket=T#frag&x", "T"},            {"/a?ticket=T?u=v", "T?u=v"},
      {"/a?b=1&ticket=T1&ticket=T2", "T1"},   {"/a?b=1&&ticket=T", "T"},
      {"/a?x=" + std::string(3000, 'x') + "&ticket=ST-long", "ST-long"},
  };
  for (const auto& row : rows) {
    const std::optional<TicketParameter> ticket = FindTicketParameter(row.url);
    EXPECT_EQ(ticket ? Text(std::string(ticket->value)) : std::nullopt, row.ticket) << row.url.substr(0, 40);
  }
}

TEST(Extraction, TheCookieIsOneNamedVavuze) {
  const std::string long_value(3000, 'c');
  const struct { std::string header; Strings values; } rows[] = {
      {"a=1; VAVUZE=ST-1; b=2", {"ST-1"}},   {"VAVUZE=ST-1", {"ST-1"}},
      {"VAVUZE= S T ;b", {"S T"}},           {"VAVUZE=; b=2", {""}},
      {"a=1; VAVUZE=", {""}},                {"a=1; VAVUZE", {}},
      {"vavuze=1", {}},                      {"XVAVUZE=1", {}},
      {"pref=VAVUZE=ST-1", {}},              {"VAVUZE:ST-1", {}},
      {"VAVUZE_X=1; VAVUZE-=2", {}},         {"a=1;VAVUZE=2", {"2"}},
      {"\tVAVUZE\t=\tST-1\t", {"ST-1"}},    {"VAVUZE=old; VAVUZE=new", {"old", "new"}},
      {"VAVUZE=" + long_value, {long_value}}, {"", {}},
  };
  for (const auto& row : rows) {
    Strings values;
    CookieValues cookies(row.header, kCookieName);
    while (const std::optional<std::string_view> value = cookies.Next()) values.emplace_back(*value);
    EXPECT_EQ(values, row.values) << row.header.substr(0, 40);
  }
}

// What IIS receives, byte for byte: the status text and the header block,
// cut after 4095 bytes as it always was.
TEST(Redirects, SendTheHeaderBlockByteForByte) {
  Context c;
  c.settings.ServerURL = "https://cas";
  c.settings.LoginPath = "login";
  const std::string big(5000, 's');
  const struct { std::function<FilterStatus(FilterHost&)> send; std::string status, block; } rows[] = {
      {[&](FilterHost& h) { return SendLoginRedirect(h, c.settings, c.reporter, "http://h/a%3fx"); },
       "302 Redirection", "Location: https://cas/login?service=http://h/a%3fx\r\n\r\n"},
      {[&](FilterHost& h) { return SendLoginRedirect(h, c.settings, c.reporter, big); }, "302 Redirection",
       ("Location: https://cas/login?service=" + big).substr(0, 4095)},
      {[&](FilterHost& h) { return SendLoginRedirect(h, c.settings, c.reporter, "s", "K=1"); },
       "302 Redirection", "Location: https://cas/login?service=s\r\nSet-Cookie: K=1\r\n\r\n"},
      {[&](FilterHost& h) { return SendCookieRedirect(h, c.reporter, "http://h/a?x=1", "ST-1"); },
       "302 Redirection", "Location: http://h/a?x=1\r\nSet-Cookie: VAVUZE=ST-1;path=/\r\n\r\n"},
      {[&](FilterHost& h) { return SendCookieRedirect(h, c.reporter, "u", "T", "K=;Max-Age=0"); },
       "302 Redirection", "Location: u\r\nSet-Cookie: VAVUZE=T;path=/\r\nSet-Cookie: K=;Max-Age=0\r\n\r\n"},
      {[&](FilterHost& h) { return SendSignOnFailedPage(h, c.reporter); }, "403 Forbidden",
       "Set-Cookie: TurnpikeFailed=;path=/;Max-Age=0\r\nContent-Type: text/html; charset=utf-8\r\n"
       "Content-Length: 235\r\nCache-Control: no-store\r\n\r\n"},
  };
  for (const auto& row : rows) {
    InMemoryFilterHost host("/a");
    EXPECT_EQ(row.send(host), FilterStatus::FinishedKeepConn);
    EXPECT_EQ(host.response()->status_text, row.status);
    EXPECT_EQ(host.response()->headers, row.block);
  }
  EXPECT_EQ(c.log.events(), Events{});

  InMemoryFilterHost host("/a");
  host.Fail(Op::SendAnswer);
  EXPECT_EQ(SendLoginRedirect(host, c.settings, c.reporter, "s"), FilterStatus::Error);
  EXPECT_EQ(SendCookieRedirect(host, c.reporter, "s", "t"), FilterStatus::Error);
  EXPECT_EQ(SendSignOnFailedPage(host, c.reporter), FilterStatus::Error);
  const std::string head = "The Turnpike filter was unable to send a ";
  EXPECT_EQ(c.log.events(),
            (Events{Error(head + "login redirection header to the browser.")[0],
                    Error(head + "cookie redirection header to the browser.")[0],
                    Error("The Turnpike filter was unable to send the sign-on failure page to the browser.")[0]}));
}

// The application takes this header as proof of who signed on, so no value
// the browser sent under that name, or under a name the application may read
// as the same, may reach it; a host that cannot ensure it stops the request.
TEST(SetIdentityHeader, BrowserValueNeverReachesTheApplication) {
  const struct { const char* name; Text sent; std::optional<Op> failing; bool set; Strings seen; } rows[] = {
      {"CASUser", std::nullopt, std::nullopt, true, {"alice"}},
      {"CASUser", "mallory", std::nullopt, true, {"alice"}},
      {"casuser", std::string(3000, 'm'), std::nullopt, true, {"alice"}},
      {"CASUser", std::nullopt, Op::ReplaceHeader, false, {}},
      {"CASUser", "mallory", Op::RemoveLookAlikeHeaders, false, {"mallory"}},
  };
  const Events refused = Error(
      "The Turnpike filter was unable to set the CASUser authentication header: ", "CASUser:");
  for (const auto& row : rows) {
    Context c;
    c.settings.AuthHeader = "CASUser";
    InMemoryFilterHost host("/a");
    if (row.sent) host.AddRequestHeader(row.name, *row.sent);
    if (row.failing) host.Fail(*row.failing);
    EXPECT_EQ(SetIdentityHeader(host, c.settings, c.reporter, "alice"),
              row.set ? FilterStatus::NextNotification : FilterStatus::Error);
    EXPECT_EQ(host.HeaderValues("CASUser"), row.seen) << row.sent.value_or("").size();
    EXPECT_EQ(c.log.events(), row.set ? Events{} : refused);
  }
}

TEST(SetIdentityHeader, LookAlikeNamesAreRemoved) {
  Context c;
  c.settings.AuthHeader = "CAS-User";
  InMemoryFilterHost host("/a");
  for (const char* name : {"CAS_User:", "cas.user:", "CAS-USER:", "Cas_uSer:", "CASUser:", "CAS--User:", "X-CAS-User:"}) {
    host.AddRequestHeader(name, "mallory");
  }
  ASSERT_EQ(SetIdentityHeader(host, c.settings, c.reporter, "alice"), FilterStatus::NextNotification);
  for (const char* name : {"CAS_User:", "cas.user:", "Cas_uSer:"}) EXPECT_EQ(host.HeaderValues(name), Strings{}) << name;
  EXPECT_EQ(host.HeaderValues("CAS-User:"), Strings{"alice"});
  // Other names are the application's own business.
  for (const char* name : {"CASUser:", "CAS--User:", "X-CAS-User:"}) {
    EXPECT_EQ(host.HeaderValues(name), Strings{"mallory"}) << name;
  }
}

TEST(FormatValidationUrl, TicketCannotAddParameters) {
  FilterSettings settings;
  settings.ServerURL = "https://cas/cas";
  settings.ValidationPath = "serviceValidate";
  const std::string base = "https://cas/cas/serviceValidate?service=http://h/a&ticket=";
  const struct { std::string ticket, expected; } rows[] = {
      {"ST-1-abc", base + "ST-1-abc"},
      {"ST%2D1", base + "ST%2D1"},  // already escaped, as the browser sent it
      {"ST-1 x#y", base + "ST-1%20x%23y"},
      {std::string(3000, 'T'), base + std::string(3000, 'T')},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(FormatValidationUrl(settings, "http://h/a", row.ticket), row.expected);
  }
}

}  // namespace
}  // namespace turnpike
