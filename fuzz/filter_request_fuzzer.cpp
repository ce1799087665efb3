// FilterRequest end to end on the in-memory host, with the validation answer
// taken from the input and parsed by the real libxml2 layer.
//
// Input: one byte of switches (bit 0: HTTPS "on"; bit 1: the fixed
// ServiceURL setting is configured; bit 2: the validation GET fails; bit 3:
// the browser sends a Cookie header; bit 4: the browser sends its own
// CASUser header), then the lines URL, Cookie header, CASUser header,
// SERVER_NAME, and the rest of the input as the CAS server's answer.
//
// The filter starts afresh for every input, so the first request can never
// be signed on. When it ends in a cookie, a second request brings that
// cookie back as a browser would, with the forged CASUser header.
//
// Checked on every answer: the status is one of the three; an unprotected
// request is left untouched; a protected request is never let through
// without a sign-on; a redirect is "302 Redirection" whose header block holds
// one Location line, for a sign-on one VAVUZE Set-Cookie line, at most one
// line for the failed-sign-on cookie, and nothing else (no CR or LF inside a
// value, so no header of the browser's making); the only other answer is the
// sign-on failure page, for a browser that already carries that cookie; the
// login redirect goes to the configured login page, and names the ServiceURL
// setting, when there is one, whatever the request's server name; the
// validation request has exactly the service and ticket parameters, the
// ticket being the value of the URL's own ticket parameter. On the second
// request: a request that is let through carries exactly one CASUser value,
// the user the CAS answer named, never the browser's.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "cache/credentials_cache.h"
#include "fakes/fake_clock.h"
#include "filter/filter.h"
#include "filter/service_url.h"
#include "fuzz_support.h"
#include "platform/memory/in_memory_filter_host.h"
#include "platform/memory/recording_event_log.h"
#include "platform/posix/reg_file_registry.h"

namespace {

using turnpike::FilterStatus;
using turnpike::InMemoryFilterHost;

constexpr const char* kServerUrl = "https://cas.example.org/cas";
constexpr const char* kServiceSetting = "https://app.example.org/secure/start";

constexpr const char* kRegistry = R"(Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\SOFTWARE\Turnpike]
"ServerURL"="https://cas.example.org/cas"
"LoginPath"="login"
"ValidationPath"="serviceValidate"
"AuthHeader"="CASUser"
"Debug"=dword:00000001
"SessionTimeout"=dword:000001e0
"CacheCleanTimeout"=dword:0000003c

[HKEY_LOCAL_MACHINE\SOFTWARE\Turnpike\Paths]
"1"="/Secure/"
"2"="/admin"
)";

// Header values and request lines reach the filter without CR, LF or NUL:
// HTTP servers refuse requests that carry them raw.
std::string HostText(std::string_view field) {
  std::string text;
  for (const char c : field) {
    if (c != '\r' && c != '\n' && c != '\0') text += c;
  }
  return text;
}

struct Answer {
  std::string location;
  std::optional<std::string> set_cookie;
};

// The value of the URL's first "ticket=" parameter, found by splitting the
// query the plain way, as a reference for the filter's own reading.
std::optional<std::string> TicketOf(const std::string& url) {
  const std::size_t mark = url.find_first_of("?#");
  if (mark == std::string::npos || url[mark] == '#') return std::nullopt;
  std::string_view query = std::string_view(url).substr(mark + 1);
  query = query.substr(0, query.find('#'));
  while (true) {
    const std::string_view parameter = turnpike::fuzz::NextField(query, '&');
    if (parameter.starts_with("ticket=")) return std::string(parameter.substr(7));
    if (query.empty()) return std::nullopt;
  }
}

// Reads a redirect's header block the way a browser would, and fails on
// anything but one Location, at most one VAVUZE Set-Cookie line and at most
// one for the failed-sign-on cookie.
Answer ReadRedirect(const InMemoryFilterHost& host) {
  FUZZ_CHECK(host.response().has_value());
  FUZZ_CHECK(host.response()->status_text == "302 Redirection");
  bool failure_cookie = false;
  std::string_view block = host.response()->headers;
  Answer answer;
  bool location = false;
  while (!block.empty()) {
    const std::size_t end = block.find("\r\n");
    const std::string_view line = block.substr(0, end);
    // A block cut at its size limit ends without its CR LF.
    block = end == std::string_view::npos ? std::string_view() : block.substr(end + 2);
    if (line.empty()) {
      FUZZ_CHECK(block.empty());
      break;
    }
    FUZZ_CHECK(line.find_first_of("\r\n") == std::string_view::npos);
    if (line.starts_with("Location: ") && !location) {
      answer.location = line.substr(10);
      location = true;
    } else if (line.starts_with("Set-Cookie: VAVUZE=") && !answer.set_cookie) {
      answer.set_cookie = line.substr(19);
    } else if ((line == "Set-Cookie: TurnpikeFailed=1;path=/;Max-Age=120" ||
                line == "Set-Cookie: TurnpikeFailed=;path=/;Max-Age=0") &&
               !failure_cookie) {
      failure_cookie = true;
    } else {
      // A header line the filter does not write.
      FUZZ_CHECK(false);
    }
  }
  FUZZ_CHECK(location);
  return answer;
}

std::string Escaped(const std::string& text) {
  char out[turnpike::kUrlBufferSize];
  FUZZ_CHECK(turnpike::EscapeUrl(text.c_str(), out, sizeof out, nullptr));
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace turnpike::fuzz;
  if (size < 1) return 0;
  const std::uint8_t switches = data[0];
  std::string_view rest = AsText(data + 1, size - 1);
  const std::string url = HostText(NextField(rest));
  const std::string cookie_header = HostText(NextField(rest));
  const std::string forged = HostText(NextField(rest));
  const std::string server_name = HostText(NextField(rest));
  const bool fixed_service = (switches & 2) != 0;

  std::string registry_text = kRegistry;
  if (fixed_service) {
    registry_text.insert(registry_text.find("\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Turnpike\\Paths]"),
                         std::string("\n\"ServiceURL\"=\"") + kServiceSetting + "\"");
  }
  turnpike::RegFileRegistry registry = turnpike::RegFileRegistry::FromText(registry_text, "fuzz.reg");
  turnpike::RecordingEventLog log;
  const turnpike::FakeClock clock;
  BodyValidationPlatform validation((switches & 4) != 0 ? std::nullopt
                                                        : std::optional<std::string>(rest));
  // The sign-ons live in a cache of the target's own, so that it can ask who
  // a cookie stands for.
  const std::uint32_t debug = 0;
  turnpike::RecordingEventLog cache_log;
  const turnpike::EventReporter cache_reporter(cache_log, debug);
  turnpike::CredentialsCache cache(clock, turnpike::CacheTimeouts{480, 60}, cache_reporter);
  cache.InitCredentialsCache();
  turnpike::TurnpikeFilter filter(
      turnpike::PlatformServices{&registry, &log, &clock, &validation, &cache});
  FUZZ_CHECK(filter.Start());

  InMemoryFilterHost first(url);
  first.SetServerVariable("HTTPS", (switches & 1) != 0 ? "on" : "off");
  first.SetServerVariable("SERVER_NAME", server_name);
  if ((switches & 8) != 0) first.AddRequestHeader("Cookie", cookie_header);
  if ((switches & 16) != 0) first.AddRequestHeader("CASUser", forged);

  const FilterStatus status = filter.FilterRequest(first);
  FUZZ_CHECK(status == FilterStatus::FinishedKeepConn || status == FilterStatus::NextNotification ||
             status == FilterStatus::Error);
  // Nobody has signed on yet: a protected request never goes through, and
  // an unprotected one is not touched.
  if (status == FilterStatus::NextNotification) {
    FUZZ_CHECK(!first.touched());
    FUZZ_CHECK(!first.response());
  }
  if (first.response()) FUZZ_CHECK(status == FilterStatus::FinishedKeepConn);

  for (const std::string& validation_url : validation.urls()) {
    const std::string prefix = std::string(kServerUrl) + "/serviceValidate?service=";
    FUZZ_CHECK(validation_url.starts_with(prefix));
    const std::string query = validation_url.substr(prefix.size() - 8);
    std::size_t ampersands = 0;
    for (const char c : query) {
      FUZZ_CHECK(c != '?' && c != '#' && static_cast<unsigned char>(c) > 0x20 &&
                 static_cast<unsigned char>(c) < 0x7F);
      ampersands += c == '&' ? 1 : 0;
    }
    FUZZ_CHECK(ampersands == 1);
    const std::optional<std::string> ticket = TicketOf(url);
    FUZZ_CHECK(ticket.has_value());
    // A ticket of bytes that need no escape reaches the CAS server as sent.
    const bool plain = std::all_of(ticket->begin(), ticket->end(), [](char c) {
      return c > 0x20 && c < 0x7F && std::strchr(" \"#$&+,;<=>?@[\\]^`{|}", c) == nullptr;
    });
    if (plain) FUZZ_CHECK(validation_url.ends_with("&ticket=" + *ticket));
  }

  if (status != FilterStatus::FinishedKeepConn) {
    filter.Stop();
    return 0;
  }
  if (first.response()->status_text == "403 Forbidden") {
    // Only for a browser that brought the note of a failed validation.
    FUZZ_CHECK((switches & 8) != 0 && Contains(cookie_header, "TurnpikeFailed"));
    FUZZ_CHECK(validation.urls().size() == 1);
    filter.Stop();
    return 0;
  }
  const Answer answer = ReadRedirect(first);
  if (!answer.set_cookie) {
    const std::string login = std::string(kServerUrl) + "/login?service=";
    FUZZ_CHECK(answer.location.starts_with(login));
    if (fixed_service) FUZZ_CHECK(answer.location == login + Escaped(kServiceSetting));
    filter.Stop();
    return 0;
  }

  // A sign-on: the cookie is the ticket, validated once.
  FUZZ_CHECK(validation.urls().size() == 1);
  if (fixed_service) FUZZ_CHECK(answer.location == kServiceSetting);
  const std::string& set_cookie = *answer.set_cookie;
  const std::string value = set_cookie.substr(0, set_cookie.find(';'));
  const std::optional<std::string> ticket_found = TicketOf(url);
  FUZZ_CHECK(ticket_found.has_value());
  const std::string& ticket = *ticket_found;
  // A block cut at its size limit cuts the Set-Cookie line.
  FUZZ_CHECK((ticket + ";path=/").starts_with(set_cookie));
  const std::optional<turnpike::SignOn> sign_on = cache.Lookup(ticket);
  FUZZ_CHECK(sign_on.has_value());
  const std::string& user = sign_on->user;

  InMemoryFilterHost second("/secure/page");
  second.SetServerVariable("HTTPS", "on");
  second.SetServerVariable("SERVER_NAME", "app.example.org");
  second.AddRequestHeader("Cookie", "VAVUZE=" + value);
  if ((switches & 16) != 0) second.AddRequestHeader("CASUser", forged);
  const FilterStatus again = filter.FilterRequest(second);
  // A browser hands a cookie value back without the blanks around it and
  // up to a ';'.
  const bool returns_whole_ticket =
      value == ticket && value.find(';') == std::string::npos &&
      (value.empty() || (value.front() != ' ' && value.front() != '\t' && value.back() != ' ' &&
                         value.back() != '\t'));
  if (returns_whole_ticket) FUZZ_CHECK(again == FilterStatus::NextNotification);
  if (again == FilterStatus::NextNotification) {
    FUZZ_CHECK(second.HeaderValues("CASUser:") == std::vector<std::string>{user});
  } else {
    FUZZ_CHECK(again == FilterStatus::FinishedKeepConn);
    FUZZ_CHECK(!ReadRedirect(second).set_cookie);
  }
  filter.Stop();
  return 0;
}
