// Ticket and cookie extraction.
//
// Input: the request line's URL, a newline, then the Cookie header's value
// (any bytes, NULs included, as a host might hand them over).
//
// Checked: nothing is found in a header that does not fit the 2083-byte
// buffer; the ticket is the rest of the URL after the first "ticket" and one
// character; the cookie is a piece of the Cookie header that follows the
// first "VAVUZE" and one character, and holds no ';'.
#include <string>

#include "filter/extraction.h"
#include "filter/filter.h"
#include "fuzz_support.h"
#include "platform/memory/in_memory_filter_host.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace turnpike::fuzz;
  std::string_view rest = AsText(data, size);
  const std::string url(NextField(rest));
  const std::string cookies(rest);

  turnpike::InMemoryFilterHost host(url);
  host.AddRequestHeader("Cookie:", cookies);

  // What the filter can see of each header: up to its first NUL, and nothing
  // at all when the value and its terminator exceed the buffer.
  const auto visible = [](const std::string& value) -> std::optional<std::string> {
    if (value.size() + 1 > turnpike::kUrlBufferSize) return std::nullopt;
    return CString(value);
  };

  const std::optional<std::string> ticket = turnpike::ExtractTicket(host);
  const std::optional<std::string> url_seen = visible(url);
  if (!url_seen) {
    FUZZ_CHECK(!ticket);
  } else {
    const std::size_t at = url_seen->find("ticket");
    if (at == std::string::npos || at + 6 >= url_seen->size()) {
      FUZZ_CHECK(!ticket);
    } else {
      FUZZ_CHECK(ticket && *ticket == url_seen->substr(at + 7));
    }
  }

  const std::optional<std::string> cookie = turnpike::ExtractCookie(host);
  const std::optional<std::string> cookies_seen = visible(cookies);
  if (!cookies_seen) {
    FUZZ_CHECK(!cookie);
    return 0;
  }
  const std::size_t at = cookies_seen->find(turnpike::kCookieName);
  if (at == std::string::npos || at + 6 >= cookies_seen->size()) {
    FUZZ_CHECK(!cookie);
    return 0;
  }
  FUZZ_CHECK(cookie.has_value());
  FUZZ_CHECK(!Contains(*cookie, ";"));
  FUZZ_CHECK(cookies_seen->compare(at + 7, cookie->size(), *cookie) == 0);
  const std::size_t end = at + 7 + cookie->size();
  FUZZ_CHECK(end == cookies_seen->size() || (*cookies_seen)[end] == ';');
  return 0;
}
