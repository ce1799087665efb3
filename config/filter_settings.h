// FilterSettings: the process-wide configuration record.
//
// Plain data. The settings loader fills it once at start-up; from then on it
// is read by every subsystem, from any number of request threads, without a
// lock, and nothing writes it until the stop steps free it. Before loading,
// every text is empty or absent, every number 0 and the path list empty.
//
// This header includes nothing of the loader so that event reporting, which
// reads `Debug`, does not depend on the code that reports through it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace turnpike {

inline constexpr std::size_t kMaxProtectedPaths = 20;

// The protected paths in the order the registry enumerated them: `Count`
// entries (1 to 20 after a successful load) of `Paths`, each as stored, and
// beside each its ASCII-lowered form, made once at load so that request
// threads only ever read it.
struct ProtectedPathList {
  std::array<std::string, kMaxProtectedPaths> Paths;
  std::array<std::string, kMaxProtectedPaths> LoweredPaths;
  std::size_t Count = 0;
};

// Filled by LoadSettings from the table in config/settings_table.h, which
// says for each field what value it comes from, whether it must be there,
// its default and what makes it unusable. After a successful load the
// required texts are never empty; a refused load leaves the record as it
// was before (empty).
struct FilterSettings {
  std::string ServerURL;                      // base URL of the CAS server
  std::string LoginPath;                      // login page below ServerURL
  std::string ValidationPath;                 // validation service below ServerURL
  std::string AuthHeader;                     // identity header name, no colon
  std::uint32_t Debug = 0;                    // non-zero: information events are written
  std::uint32_t SessionTimeout = 0;           // minutes a sign-on lasts
  std::uint32_t CacheCleanTimeout = 0;        // least minutes between cache cleanings
  std::optional<std::string> ServiceURL;      // fixed service URL, or absent
  // Scheme, server name and optional port ("https://www.example.org"), no
  // slash after them, that the service URL starts with instead of the
  // request's own; absent: the host's HTTPS and SERVER_NAME.
  std::optional<std::string> ServerBaseURL;
  std::uint32_t MaxValidations = 0;           // validations at once; 0: not set, the host's default
  std::uint32_t ValidationTimeout = 0;        // seconds one validation may take in all
  // The start of the request headers that carry the sign-on's attributes
  // ("CAS-" gives CAS-mail); header-name characters only. Absent: no
  // attribute is passed on.
  std::optional<std::string> AttributeHeaderPrefix;
  // Appended to the sign-on cookie's Set-Cookie ("HttpOnly; Secure"), with
  // no control character and no leading or trailing ';' or blank; absent:
  // nothing appended.
  std::optional<std::string> CookieAttributes;
  // 1: the cookie carries 128 random bits, never the ticket; 0: the ticket.
  std::uint32_t OpaqueCookie = 0;
  ProtectedPathList ProtectedPaths;
  // Non-zero: a CAS server's single-logout POST to a protected or gateway
  // page removes the sign-on it names.
  std::uint32_t SingleLogout = 0;
  // The path that signs a browser out here and at the CAS server, and where
  // the CAS server sends it afterwards; absent: no local logout.
  std::optional<std::string> LogoutPath;
  std::optional<std::string> LogoutReturnURL;
  // Non-zero: login redirects and validations ask CAS for renew=true.
  std::uint32_t Renew = 0;
  // Non-zero: a script's request without a sign-on gets 401, not the redirect.
  std::uint32_t ScriptsGet401 = 0;
  // Pages where a sign-on is tried with gateway=true and not required; the
  // list is empty when the GatewayPaths key is absent.
  ProtectedPathList GatewayPaths;
  // The PEM file of the CAs trusted for the CAS server's certificate,
  // instead of the system's store; absent: the system's store.
  std::optional<std::string> CACertificateFile;
  // A Redis server that keeps the sign-ons, shared by every process and
  // server pointed at it ("redis://cache.example.org:6379/0", as checked by
  // ParseRedisAddress); absent: the host's own store.
  std::optional<std::string> SharedCache;
  // The password the Redis server asks for (AUTH), or absent. Never written
  // to an event.
  std::optional<std::string> SharedCachePassword;
};

}  // namespace turnpike
