// CredentialsStore: where the filter remembers who signed on under which
// ticket.
//
// The request decision stores a user under the ticket it has just had
// validated, and on later requests asks for the user stored under the cookie
// value, which is that same ticket. It knows the store only through this
// interface, so a host can put its own store behind it (the in-process
// CredentialsCache under IIS; a store that every Apache child process sees).
//
// What callers may rely on, for every implementation:
//   - Tokens are compared byte for byte: case-sensitive, no trimming, no
//     unescaping.
//   - Every returned string is the caller's own copy; nothing the caller
//     passes in is kept beyond the call.
//   - Nothing is an ordinary answer, never an error to the caller: a lookup
//     gives nothing for an unknown, expired or user-less token; a store gives
//     nothing when it could not make the cookie value. Implementations report
//     their own trouble through event reporting.
//   - No exception leaves either operation.
//   - Both operations may be called from any number of threads at once.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace turnpike {

class CredentialsStore {
 public:
  virtual ~CredentialsStore();

  // Remembers `user` under `token`, replacing the user and the sign-on time
  // of an entry the token already has. Answers the cookie value to send (a
  // copy of the token), or nothing when the caller must answer with an error.
  virtual std::optional<std::string> StoreCredentials(std::string_view token,
                                                      std::string_view user) noexcept = 0;

  // The user signed on under `token` while that sign-on has not expired
  // (possibly ""), or nothing, after which the browser must log in again.
  virtual std::optional<std::string> LookupCredentials(std::string_view token) noexcept = 0;

 protected:
  CredentialsStore() = default;
  CredentialsStore(const CredentialsStore&) = default;
  CredentialsStore& operator=(const CredentialsStore&) = default;
};

}  // namespace turnpike
