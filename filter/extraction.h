// What a browser brings to a protected request: the CAS service ticket that
// the login page added to the URL, and the filter's own VAVUZE cookie, whose
// value is that same ticket handed back on later requests.
//
// Both are read by the syntax they have, never by searching for a word:
// "ticket" in a path (/secure/tickets/list) or in a longer parameter name
// (?ticketid=5) is no ticket, and "VAVUZE" inside another cookie's name or
// value is no cookie. Nothing is decoded, trimmed of escapes or checked
// here: the ticket is checked by the CAS server, the cookie by the
// credentials store. Names are case-sensitive. Neither reports events.
// Allocates nothing; safe on any thread.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

namespace turnpike {

inline constexpr const char* kCookieName = "VAVUZE";
inline constexpr const char* kTicketParameter = "ticket";

// Where the ticket stands in a request URL. `value` lies inside the URL
// given; removing the bytes [cut_begin, cut_end) removes the parameter with
// exactly one of its separators, so that what is left has no stray '&' and
// no empty '?'.
struct TicketParameter {
  std::string_view value;
  std::size_t cut_begin = 0;
  std::size_t cut_end = 0;
};

// The first query parameter named exactly "ticket" (the query runs from the
// first '?' of the URL to its '#'; a parameter starts it or follows '&'),
// and its value up to the next '&' or '#', escapes kept as sent. An empty
// value (?ticket=) is still a ticket; a bare "ticket" without '=' is not.
std::optional<TicketParameter> FindTicketParameter(std::string_view url) noexcept;

// The values of every cookie of a Cookie header that is named exactly
// `name`, in the order the browser sent them. A cookie starts the header or
// follows ';'; blanks around its name and value are dropped and the value
// runs to the next ';'. Browsers send two cookies of one name when two
// paths or domains set one, so each is worth a try.
class CookieValues {
 public:
  CookieValues(std::string_view header, std::string_view name) noexcept
      : rest_(header), name_(name) {}

  // The next value, or nothing when no more cookies of the name follow.
  std::optional<std::string_view> Next() noexcept;

 private:
  std::string_view rest_;
  std::string_view name_;
  bool done_ = false;
};

}  // namespace turnpike
