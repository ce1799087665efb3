// SignOn: what the filter knows of one browser's sign-on.
//
// The validation fills it from the CAS server's answer; the stores keep it
// under the cookie value and find it again by that value or by its ticket
// (single logout names the ticket); the decision reads the user and the
// attributes from it. Plain data, copied freely; no invariant beyond what
// each field says.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace turnpike {

// One attribute the CAS server released: its name as the answer spelled it
// (the local name of the element under cas:attributes) and every value it
// gave, in the answer's order.
struct SignOnAttribute {
  std::string name;
  std::vector<std::string> values;

  friend bool operator==(const SignOnAttribute&, const SignOnAttribute&) = default;
};

struct SignOn {
  // The user the CAS server vouched for (possibly empty), in the filter's
  // 8-bit form.
  std::string user;
  // In the order the answer first named each; several elements of one name
  // are one attribute with several values.
  std::vector<SignOnAttribute> attributes;
  // The service ticket that was validated, exactly as the browser sent it.
  std::string ticket;
  // When the ticket was validated: 100-ns units since 1601-01-01 UTC, the
  // clock's TimeValue. A sign-on expires a fixed time after this, however
  // often it is used.
  std::uint64_t validated = 0;

  friend bool operator==(const SignOn&, const SignOn&) = default;
};

// The most a sign-on's attributes may take, counted by AttributeBytes: a
// sign-on with more is refused, so that every store keeps what it is given.
inline constexpr std::size_t kMaxAttributeBytes = 16 * 1024;

// What the attributes take as the shared stores encode them: each name and
// value with its four bytes of length, and four more per attribute for its
// count of values. Stops counting once past kMaxAttributeBytes.
inline std::size_t AttributeBytes(const std::vector<SignOnAttribute>& attributes) noexcept {
  std::size_t bytes = 0;
  for (const SignOnAttribute& attribute : attributes) {
    bytes += 8 + attribute.name.size();
    for (const std::string& value : attribute.values) bytes += 4 + value.size();
    if (bytes > kMaxAttributeBytes) break;
  }
  return bytes;
}

}  // namespace turnpike
