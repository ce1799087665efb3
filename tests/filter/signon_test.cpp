#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
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
  EventReporter reporter{log, settings};
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
  const std::string printable_unsafe = " \"#$&+,;<=>?@[\\]^`{|}";
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
  const struct { std::string in; std::size_t size; Text expected; std::size_t needed; } rows[] = {
      {"/a%20b", 7, "/a%20b", 7},  {"", 0, std::nullopt, 1},     {"ab?", 7, "ab%3f", 6},
      {"ab?", 6, "ab%3f", 6},      {"ab?", 5, std::nullopt, 6}, {"abc", 3, std::nullopt, 4},
      {"a??b", 3, std::nullopt, 9},
  };
  for (const auto& row : rows) {
    std::string out(row.size + 8, '#');
    std::size_t needed = 0;
    const bool fits = EscapeUrl(row.in.c_str(), out.data(), row.size, &needed);
    EXPECT_EQ(fits ? Text(out.c_str()) : std::nullopt, row.expected) << row.in << row.size;
    EXPECT_EQ(out.substr(row.size), std::string(8, '#')) << row.in << row.size;
    EXPECT_EQ(needed, row.needed) << row.in;
  }
}

TEST(ServiceUrl, RebuildsTheRequestUrlUpToTheTicket) {
  const std::string a(2073, 'a');  // with "http://h/": the longest that fits
  const struct { const char* https; std::string url, unescaped, escaped; } rows[] = {
      {"on", "/a", "https://h/a", "https://h/a"},  {"ON", "/a", "https://h/a", "https://h/a"},
      {"On", "/a", "https://h/a", "https://h/a"},  {"off", "/a", "http://h/a", "http://h/a"},
      {"", "/a", "http://h/a", "http://h/a"},      {"", "/" + a, "http://h/" + a, "http://h/" + a},
      {"off", "/a?x=1&ticket=ST-1&b=2", "http://h/a?x=1", "http://h/a%3fx%3d1"},
      {"off", "/a?TICKET=1", "http://h/a?TICKET=1", "http://h/a%3fTICKET%3d1"},
      // The word is searched as bluntly as the ticket extraction does, so both
      // agree where the ticket starts, even when the path holds the word.
      {"off", "/tickets/list", "http://h", "http://h"},
      {"off", "ticket=1", "http://h", "http://h"},
  };
  for (const auto& row : rows) {
    Context c;
    InMemoryFilterHost host = Request(row.url, row.https);
    const std::optional<ServiceUrls> urls = ServiceUrl(host, c.settings, c.reporter);
    ASSERT_TRUE(urls) << row.url;
    EXPECT_EQ(urls->unescaped, row.unescaped);
    EXPECT_EQ(urls->escaped, row.escaped);
    EXPECT_EQ(c.log.events(), Events{});
    EXPECT_EQ(host.calls(), (Strings{"GetServerVariable HTTPS", "GetServerVariable SERVER_NAME",
                                     "GetHeader url"}));
  }
}

TEST(ServiceUrl, ReportsEachAssemblyFailure) {
  const struct { std::optional<Op> failing; const char* name; std::string url; } rows[] = {
      {Op::GetServerVariable, "HTTPS", "/a"},
      {Op::GetServerVariable, "SERVER_NAME", "/a"},
      {Op::GetHeader, "url", "/a"},
      {std::nullopt, "2083 characters", "/" + std::string(2074, 'a')},
  };
  for (const auto& row : rows) {
    Context c;
    InMemoryFilterHost host = Request(row.url);
    if (row.failing) host.Fail(*row.failing, row.name);
    EXPECT_FALSE(ServiceUrl(host, c.settings, c.reporter)) << row.name;
    EXPECT_EQ(c.log.events(), Error(kAssemblyFailed)) << row.name;
  }
}

TEST(ServiceUrl, FixedSettingIsUsedWithoutAskingTheHost) {
  const std::string longest(2082, 'a');
  const std::string ampersands = std::string(400, 'a') + std::string(600, '&');
  const std::string escape_failed =
      "The Turnpike filter was unable to generate a URL Escaped redirection url for";
  const struct { std::string fixed; Text escaped; Events events; } rows[] = {
      {"https://app/x?y=1", "https://app/x%3fy%3d1", {}},
      {longest, longest, {}},
      {longest + "a", std::nullopt, Error(kAssemblyFailed)},
      {ampersands, std::nullopt, Error(escape_failed, ampersands)},
  };
  for (const auto& row : rows) {
    Context c;
    c.settings.ServiceURL = row.fixed;
    InMemoryFilterHost host = Request("/a?ticket=ST-1");
    const std::optional<ServiceUrls> urls = ServiceUrl(host, c.settings, c.reporter);
    EXPECT_EQ(urls ? Text(urls->escaped) : std::nullopt, row.escaped) << row.fixed.size();
    if (urls) EXPECT_EQ(urls->unescaped, row.fixed);
    EXPECT_EQ(c.log.events(), row.events) << row.fixed.size();
    EXPECT_EQ(host.calls(), Strings{});
  }
}

TEST(Extraction, TakesWhatFollowsTheFirstWordAndOneCharacter) {
  const std::string c2075(2075, 'c');  // with "VAVUZE=": the longest header that reads
  const struct { bool cookie; Text header, expected; } rows[] = {
      {false, "/a?ticket=ST-1-abc", "ST-1-abc"},  {false, "/a?x=1&ticket=ST-1&b=2", "ST-1&b=2"},
      {false, "/a?ticket=ST%2D1", "ST%2D1"},      {false, "/tickets/list?x=1", "/list?x=1"},
      {false, "/a?ticket=", ""},                  {false, "/a?ticket", std::nullopt},
      {false, "/a?Ticket=ST-1", std::nullopt},    {false, std::nullopt, std::nullopt},
      {true, "a=1; VAVUZE=ST-1; b=2", "ST-1"},    {true, "XVAVUZE=1; VAVUZE=2", "1"},
      {true, "VAVUZE= S T ;b", " S T "},          {true, "VAVUZE=; b=2", ""},
      {true, "a=1; VAVUZE=", ""},                 {true, "a=1; VAVUZE", std::nullopt},
      {true, "vavuze=1", std::nullopt},           {true, std::nullopt, std::nullopt},
      {true, "VAVUZE=" + c2075, c2075},           {true, "VAVUZE=c" + c2075, std::nullopt},
  };
  for (const auto& row : rows) {
    InMemoryFilterHost host(row.cookie ? Text("/a?ticket=ST-9") : row.header);
    if (row.cookie && row.header) host.AddRequestHeader("Cookie:", *row.header);
    EXPECT_EQ(row.cookie ? ExtractCookie(host) : ExtractTicket(host), row.expected)
        << row.header.value_or("(none)").substr(0, 30);
  }
}

TEST(Redirects, SendTheHeaderBlockByteForByte) {
  Context c;
  c.settings.ServerURL = "https://cas";
  c.settings.LoginPath = "login";
  const std::string big(5000, 's');
  InMemoryFilterHost host("/a");
  const auto block = [&host] { return host.response()->headers; };
  EXPECT_EQ(SendLoginRedirect(host, c.settings, c.reporter, "http://h/a%3fx"),
            FilterStatus::FinishedKeepConn);
  EXPECT_EQ(block(), "Location: https://cas/login?service=http://h/a%3fx\r\n\r\n");
  EXPECT_EQ(SendLoginRedirect(host, c.settings, c.reporter, big.c_str()),
            FilterStatus::FinishedKeepConn);
  EXPECT_EQ(block(), ("Location: https://cas/login?service=" + big).substr(0, 4095));
  EXPECT_EQ(SendCookieRedirect(host, c.reporter, "http://h/a?x=1", "ST-1"),
            FilterStatus::FinishedKeepConn);
  EXPECT_EQ(block(), "Location: http://h/a?x=1\r\nSet-Cookie: VAVUZE=ST-1;path=/\r\n\r\n");
  EXPECT_EQ(host.response()->status_text, "302 Redirection");
  EXPECT_EQ(c.log.events(), Events{});

  host.Fail(Op::SendResponseHeader);
  EXPECT_EQ(SendLoginRedirect(host, c.settings, c.reporter, "s"), FilterStatus::Error);
  EXPECT_EQ(SendCookieRedirect(host, c.reporter, "s", "t"), FilterStatus::Error);
  const std::string head = "The Turnpike filter was unable to send a ";
  EXPECT_EQ(c.log.events(), (Events{Error(head + "login redirection header to the browser.")[0],
                                    Error(head + "cookie redirection header to the browser.")[0]}));
}

// The application takes this header as proof of who signed on, so no value
// the browser sent under that name may reach it, however long.
TEST(SetIdentityHeader, BrowserValueNeverReachesTheApplication) {
  const struct { Text sent; std::optional<Op> failing; Strings seen; } rows[] = {
      {std::nullopt, std::nullopt, {"alice"}},
      {"mallory", std::nullopt, {"alice"}},
      {std::string(2082, 'm'), std::nullopt, {"alice"}},
      {std::string(2083, 'm'), std::nullopt, {"alice"}},
      {"mallory", Op::SetHeader, {"mallory"}},
      {std::nullopt, Op::AddHeader, {}},
  };
  const Events refused = Error(
      "The Turnpike filter was unable to set the CASUser authentication header: ", "CASUser:");
  for (const auto& row : rows) {
    Context c;
    c.settings.AuthHeader = "CASUser";
    InMemoryFilterHost host("/a");
    if (row.sent) host.AddRequestHeader("CASUser:", *row.sent);
    if (row.failing) host.Fail(*row.failing);
    const bool let_through = row.seen == Strings{"alice"};
    EXPECT_EQ(SetIdentityHeader(host, c.settings, c.reporter, "alice"),
              let_through ? FilterStatus::NextNotification : FilterStatus::Error);
    EXPECT_EQ(host.HeaderValues("CASUser:"), row.seen) << row.sent.value_or("").size();
    EXPECT_EQ(c.log.events(), let_through ? Events{} : refused);
  }
}

TEST(FormatValidationUrl, TicketCannotAddParameters) {
  FilterSettings settings;
  settings.ServerURL = "https://cas/cas";
  settings.ValidationPath = "serviceValidate";
  const std::string base = "https://cas/cas/serviceValidate?service=http://h/a&ticket=";
  std::string escaped_ampersands;
  for (int i = 0; i < 2075; ++i) escaped_ampersands += "%26";
  const struct { std::string ticket, expected; bool whole; } rows[] = {
      {"ST-1-abc", base + "ST-1-abc", true},
      {"ST-1&renew=true", base + "ST-1%26renew%3dtrue", true},
      {std::string(2075, '&'), (base + escaped_ampersands).substr(0, 2082), false},
  };
  for (const auto& row : rows) {
    char out[kUrlBufferSize];
    EXPECT_EQ(FormatValidationUrl(settings, "http://h/a", row.ticket.c_str(), out), row.whole);
    EXPECT_EQ(std::string(out), row.expected);
  }
}

}  // namespace
}  // namespace turnpike
