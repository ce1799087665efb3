// The production check: which settings it reports, by the line it proposes.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "config/production_check.h"

namespace turnpike {
namespace {

void SetPaths(FilterSettings& settings, std::vector<std::string> paths) {
  settings.ProtectedPaths.Count = paths.size();
  for (std::size_t i = 0; i < paths.size(); ++i) {
    settings.ProtectedPaths.Paths[i] = paths[i];
    std::string lowered = paths[i];
    for (char& c : lowered) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    settings.ProtectedPaths.LoweredPaths[i] = lowered;
  }
}

// What a careful production server holds: nothing to report.
FilterSettings Production() {
  FilterSettings settings;
  settings.ServerURL = "https://cas.example.org/cas";
  settings.ServerBaseURL = "https://www.example.org";
  settings.CookieAttributes = "HttpOnly; Secure";
  settings.OpaqueCookie = 1;
  settings.SessionTimeout = 480;
  SetPaths(settings, {"/secure/", "/admin/"});
  return settings;
}

TEST(ProductionCheck, ReportsEachRiskWithTheLineThatMendsIt) {
  const struct {
    const char* name;
    std::function<void(FilterSettings&)> change;
    std::vector<std::string> lines;
  } rows[] = {
      {"production", [](FilterSettings&) {}, {}},
      {"no base URL, no service URL",
       [](FilterSettings& s) { s.ServerBaseURL.reset(); },
       {"\"ServerBaseURL\"=\"https://www.example.org\"  (the scheme and name browsers use)"}},
      {"a fixed https service URL instead", [](FilterSettings& s) {
         s.ServerBaseURL.reset();
         s.ServiceURL = "https://www.example.org/secure/";
       }, {}},
      {"https without cookie attributes", [](FilterSettings& s) { s.CookieAttributes.reset(); },
       {"\"CookieAttributes\"=\"HttpOnly; Secure; SameSite=Lax\""}},
      {"plain http needs no Secure cookie", [](FilterSettings& s) {
         s.ServerBaseURL = "http://intranet:8080";
         s.CookieAttributes.reset();
       }, {}},
      {"the ticket as the cookie", [](FilterSettings& s) { s.OpaqueCookie = 0; },
       {"\"OpaqueCookie\"=dword:00000001"}},
      {"CAS server over http", [](FilterSettings& s) { s.ServerURL = "HTTP://cas.example.org:8080/cas"; },
       {"\"ServerURL\"=\"https://cas.example.org:8080/cas\""}},
      {"a day exactly", [](FilterSettings& s) { s.SessionTimeout = 1440; }, {}},
      {"a day and a minute", [](FilterSettings& s) { s.SessionTimeout = 1441; },
       {"\"SessionTimeout\"=dword:000001e0  (8 hours)"}},
      {"a path inside another, either order", [](FilterSettings& s) {
         SetPaths(s, {"/App", "/secure/", "/apple/", "/x/secure/y"});
       }, {"remove the Paths value \"/apple/\"", "remove the Paths value \"/x/secure/y\""}},
      {"the same path twice, in two letter cases", [](FilterSettings& s) { SetPaths(s, {"/a/", "/A/"}); },
       {"remove the Paths value \"/A/\""}},
      {"everything at once", [](FilterSettings& s) {
         s = FilterSettings{};
         s.ServerURL = "http://cas/cas";
         s.SessionTimeout = 10080;
         SetPaths(s, {"/"});
       }, {"\"ServerBaseURL\"=\"https://www.example.org\"  (the scheme and name browsers use)",
           "\"OpaqueCookie\"=dword:00000001", "\"ServerURL\"=\"https://cas/cas\"",
           "\"SessionTimeout\"=dword:000001e0  (8 hours)"}},
  };
  for (const auto& row : rows) {
    FilterSettings settings = Production();
    row.change(settings);
    std::vector<std::string> lines;
    for (const ProductionFinding& finding : CheckForProduction(settings)) {
      EXPECT_FALSE(finding.risk.empty()) << row.name;
      lines.push_back(finding.line);
    }
    EXPECT_EQ(lines, row.lines) << row.name;
  }
}

}  // namespace
}  // namespace turnpike
