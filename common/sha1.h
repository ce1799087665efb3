// SHA-1 of a byte string, for the keys of the shared sign-on stores.
//
// A shared store (Apache's socache, memcached, Redis) may be read by other
// machines, so it is keyed by a one-way digest of the cookie value, never by
// the value itself. Every host derives its keys here, so an IIS server and
// an Apache server of one farm find each other's sign-ons, and the keys of
// entries written by earlier releases (APR's SHA-1 of the cookie value) are
// found again.
//
// What it is not: a signature or a password hash. The keys need only be
// one-way and without practical second preimages for values a CAS server
// issued; SHA-1's known weakness (chosen-prefix collisions) gives an
// attacker nothing here, since the attacker does not choose the tickets.
//
// Pure function: no allocation, no state, safe on any thread.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace turnpike {

inline constexpr std::size_t kSha1DigestSize = 20;
using Sha1Digest = std::array<std::uint8_t, kSha1DigestSize>;

Sha1Digest Sha1(std::string_view bytes) noexcept;

}  // namespace turnpike
