// The bytes a shared store keeps for one sign-on, and the key it keeps them
// under. Every shared store (Apache's socache, and any other store of keyed
// bytes) uses these, so that every process and machine of a farm, of either
// byte order and of this release or the one before, reads the others'
// entries.
//
// The value:
//   version 1: the version byte, the validation time (64 bits,
//              little-endian), then the user's bytes up to the end. What
//              earlier releases wrote; still written for a sign-on without
//              attributes, so a farm half upgraded keeps its sign-ons.
//   version 2: the version byte, the validation time (64 bits), the user
//              (32-bit length, bytes), the number of attributes (32 bits),
//              then for each its name (length, bytes), its number of
//              values (32 bits) and each value (length, bytes). All numbers
//              little-endian; the value ends exactly after the last field.
//   version 3: no sign-on but the ticket index of an opaque cookie: the
//              version byte and the 20-byte key of the sign-on's entry,
//              kept under the ticket's key so that single logout finds the
//              sign-on by its ticket (DecodeSignOn refuses it).
// None holds the ticket or the cookie value: a shared store may be read by
// other machines. The store fills SignOn::ticket from what it was asked
// with.
//
// The key: the SHA-1 digest of the cookie value, as earlier releases made
// it, so that the entries they wrote are found again; 20 bytes whatever the
// cookie's length (memcached limits keys), and a digest nobody can turn back
// into a cookie value.
//
// Decoding refuses, rather than guesses at, a value that is truncated, longer
// than kMaxEncodedSignOnSize, longer than its fields, or of an unknown
// version. Pure functions; safe on any thread. Encoding allocates the value
// (and may throw std::bad_alloc); decoding allocates the record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/sha1.h"
#include "common/sign_on.h"

namespace turnpike {

inline constexpr std::uint8_t kSignOnVersionUserOnly = 1;
inline constexpr std::uint8_t kSignOnVersionWithAttributes = 2;
inline constexpr std::uint8_t kSignOnVersionTicketIndex = 3;

// The longest user name a shared store keeps; CAS user names are far
// shorter.
inline constexpr std::size_t kMaxStoredUserLength = 4096;
// The longest value: room for the longest user name and 16 KiB of attribute
// names and values, with their lengths and counts.
inline constexpr std::size_t kMaxEncodedSignOnSize = 32 * 1024;

// The value for `sign_on`, or nothing when it would be longer than
// kMaxEncodedSignOnSize or its user name longer than kMaxStoredUserLength.
std::optional<std::string> EncodeSignOn(const SignOn& sign_on);

// The sign-on a value holds (its ticket left empty), or nothing when the
// value is not one that EncodeSignOn, of this release or an earlier one,
// could have written.
std::optional<SignOn> DecodeSignOn(std::string_view value);

using SignOnKey = Sha1Digest;

// The key under which a shared store keeps the sign-on of `cookie`.
inline SignOnKey SignOnKeyOf(std::string_view cookie) noexcept { return Sha1(cookie); }

// The version 3 value that points from a ticket's key to `entry`, and the
// key such a value holds (nothing for any other value).
std::string EncodeTicketIndex(const SignOnKey& entry);
std::optional<SignOnKey> DecodeTicketIndex(std::string_view value) noexcept;

}  // namespace turnpike
