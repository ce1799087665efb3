#include "config/production_check.h"

#include <cstdio>
#include <string_view>

#include "common/ascii.h"

namespace turnpike {
namespace {

bool StartsWithIgnoreCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && AsciiEqualsIgnoreCase(text.substr(0, prefix.size()), prefix);
}

std::string DwordLine(const char* name, std::uint32_t value) {
  char line[64];
  std::snprintf(line, sizeof line, "\"%s\"=dword:%08x", name, static_cast<unsigned>(value));
  return line;
}

// Whether the browser reaches the service over https, as far as the
// settings say; without ServerBaseURL or ServiceURL they do not.
bool ServiceIsHttps(const FilterSettings& settings) {
  const std::optional<std::string>& base = settings.ServiceURL ? settings.ServiceURL : settings.ServerBaseURL;
  return base && StartsWithIgnoreCase(*base, "https://");
}

}  // namespace

std::vector<ProductionFinding> CheckForProduction(const FilterSettings& settings) {
  std::vector<ProductionFinding> findings;
  if (!settings.ServerBaseURL && !settings.ServiceURL) {
    findings.push_back(
        {"Neither ServerBaseURL nor ServiceURL is set: the service URL is built from the name the "
         "web server gives itself, which under IIS is the Host header the browser sent, so a "
         "browser can choose the service its ticket is validated for.",
         "\"ServerBaseURL\"=\"https://www.example.org\"  (the scheme and name browsers use)"});
  }
  if (ServiceIsHttps(settings) && !settings.CookieAttributes) {
    findings.push_back(
        {"The service is https but CookieAttributes is not set: the sign-on cookie is also sent "
         "over plain http and is readable by the page's scripts.",
         "\"CookieAttributes\"=\"HttpOnly; Secure; SameSite=Lax\""});
  }
  if (settings.OpaqueCookie == 0) {
    findings.push_back(
        {"OpaqueCookie is off: the cookie's value is the CAS ticket, which every access log line "
         "of the returning page (GET /page?ticket=ST-...) keeps; whoever reads the log holds the "
         "sign-on for SessionTimeout minutes.",
         DwordLine("OpaqueCookie", 1)});
  }
  if (StartsWithIgnoreCase(settings.ServerURL, "http://")) {
    findings.push_back(
        {"ServerURL is plain http: tickets and the CAS server's answers cross the network in "
         "clear, and whoever sits on the way can answer a validation with any user.",
         "\"ServerURL\"=\"https://" + settings.ServerURL.substr(7) + "\""});
  }
  if (settings.SessionTimeout > kLongestQuietSessionTimeout) {
    findings.push_back(
        {"SessionTimeout is " + std::to_string(settings.SessionTimeout) +
             " minutes, more than a day: a sign-on, and a stolen cookie, lasts that long however "
             "the CAS session ends.",
         DwordLine("SessionTimeout", 8 * 60) + "  (8 hours)"});
  }
  // A path protects every URL that contains it, so one that holds another
  // adds nothing, and the shorter one may protect more than was meant
  // ("/app" also protects "/apple/" and "/x/app").
  const ProtectedPathList& paths = settings.ProtectedPaths;
  for (std::size_t longer = 0; longer < paths.Count; ++longer) {
    for (std::size_t shorter = 0; shorter < paths.Count; ++shorter) {
      const std::string& a = paths.LoweredPaths[shorter];
      const std::string& b = paths.LoweredPaths[longer];
      // Two equal paths: reported once, for the later one.
      const bool contained = a.size() < b.size() ? b.find(a) != std::string::npos : a == b && shorter < longer;
      if (!contained) continue;
      findings.push_back(
          {"The path \"" + paths.Paths[longer] + "\" is already protected by \"" + paths.Paths[shorter] +
               "\" (a path protects every URL that contains it): check that the shorter one does not "
               "protect more than you mean.",
           "remove the Paths value \"" + paths.Paths[longer] + "\""});
      break;
    }
  }
  return findings;
}

}  // namespace turnpike
