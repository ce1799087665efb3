// The opaque cookie value: 128 bits from the system's generator, in lower-
// case hex, which a store keeps a sign-on under instead of the ticket when
// OpaqueCookie is 1.
//
// A ticket travels in URLs (the access log holds "GET /page?ticket=ST-..."),
// so a cookie whose value is the ticket is a session for whoever reads the
// log. The opaque value is made by the server, sent only in Set-Cookie, and
// nobody can guess it. The stores still find the sign-on by its ticket, for
// single logout, and only ever accept opaque values as cookies.
//
// Pure functions but for the generator's call; safe on any thread.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "platform/random_source.h"

namespace turnpike {

inline constexpr std::size_t kOpaqueCookieBytes = 16;
inline constexpr std::size_t kOpaqueCookieLength = 2 * kOpaqueCookieBytes;

// A new value; nothing when the generator fails. May throw std::bad_alloc.
std::optional<std::string> NewOpaqueCookie(RandomSource& random);

// Whether `cookie` has the form NewOpaqueCookie gives: 32 lower-case hex
// digits. A ticket never has it (CAS tickets start "ST-"), so a ticket from
// a log is not even looked up.
bool IsOpaqueCookie(std::string_view cookie) noexcept;

}  // namespace turnpike
