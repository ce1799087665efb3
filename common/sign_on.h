// SignOn: what the filter knows of one browser's sign-on.
//
// The validation fills it from the CAS server's answer; the stores keep it
// under the cookie value and find it again by that value or by its ticket
// (single logout names the ticket); the decision reads the user and the
// attributes from it. Plain data, copied freely; no invariant beyond what
// each field says.
#pragma once

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

}  // namespace turnpike
