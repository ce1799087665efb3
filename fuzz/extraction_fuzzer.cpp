// Ticket and cookie extraction.
//
// Input: the request line's URL, a newline, then the Cookie header's value.
//
// Checked against plain reference readings: the ticket is the value of the
// query's first parameter named exactly "ticket", and removing its cut from
// the URL leaves the URL with that one parameter taken out of the list; the
// cookie values are, in order, the values of the pairs named exactly
// "VAVUZE" once the header is split at ';' and blanks around name and value
// are dropped.
#include <string>
#include <vector>

#include "filter/extraction.h"
#include "fuzz_support.h"

namespace {

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

// n separators make n + 1 pieces, empty ones included.
std::vector<std::string_view> Split(std::string_view text, char separator) {
  std::vector<std::string_view> pieces;
  std::size_t start = 0;
  while (true) {
    const std::size_t end = text.find(separator, start);
    pieces.push_back(text.substr(start, end == std::string_view::npos ? end : end - start));
    if (end == std::string_view::npos) return pieces;
    start = end + 1;
  }
}

void CheckTicket(const std::string& url) {
  const std::optional<turnpike::TicketParameter> ticket = turnpike::FindTicketParameter(url);
  const std::size_t mark = url.find_first_of("?#");
  if (mark == std::string::npos || url[mark] == '#') {
    FUZZ_CHECK(!ticket);
    return;
  }
  const std::size_t hash = url.find('#', mark);
  const std::size_t query_end = hash == std::string::npos ? url.size() : hash;
  std::vector<std::string_view> parameters =
      Split(std::string_view(url).substr(mark + 1, query_end - mark - 1), '&');
  std::size_t found = 0;
  while (found < parameters.size() && !parameters[found].starts_with("ticket=")) ++found;
  if (found == parameters.size()) {
    FUZZ_CHECK(!ticket);
    return;
  }
  FUZZ_CHECK(ticket && ticket->value == parameters[found].substr(7));
  parameters.erase(parameters.begin() + static_cast<std::ptrdiff_t>(found));
  std::string expected = url.substr(0, mark);
  for (std::size_t i = 0; i < parameters.size(); ++i) {
    expected += i == 0 ? '?' : '&';
    expected += parameters[i];
  }
  expected += url.substr(query_end);
  FUZZ_CHECK(url.substr(0, ticket->cut_begin) + url.substr(ticket->cut_end) == expected);
}

void CheckCookies(const std::string& header) {
  std::vector<std::string_view> expected;
  for (const std::string_view cookie : Split(header, ';')) {
    const std::size_t equals = cookie.find('=');
    if (equals != std::string_view::npos && Trim(cookie.substr(0, equals)) == turnpike::kCookieName) {
      expected.push_back(Trim(cookie.substr(equals + 1)));
    }
  }
  std::vector<std::string_view> values;
  turnpike::CookieValues cookies(header, turnpike::kCookieName);
  while (const std::optional<std::string_view> value = cookies.Next()) values.push_back(*value);
  FUZZ_CHECK(values == expected);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace turnpike::fuzz;
  std::string_view rest = AsText(data, size);
  CheckTicket(std::string(NextField(rest)));
  CheckCookies(std::string(rest));
  return 0;
}
