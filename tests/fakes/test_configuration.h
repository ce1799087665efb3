// The configuration most tests start from, written into a FakeRegistry:
// a CAS server at https://cas.example.org/cas, CAS 2.0 validation, the
// CASUser header, an eight-hour session and an hourly cleaning. Tests change
// what they are about after writing it. BrowserRequest: a request to
// http://www.example.org, as a browser sends it.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>

#include "config/settings_loader.h"
#include "fakes/fake_registry.h"
#include "platform/memory/in_memory_filter_host.h"

namespace turnpike {

inline void WriteTestConfiguration(FakeRegistry& registry, std::initializer_list<std::string> paths = {"/Secure"},
                                   std::uint32_t debug = 0) {
  registry.SetString(kSettingsKey, "ServerURL", "https://cas.example.org/cas");
  registry.SetString(kSettingsKey, "LoginPath", "login");
  registry.SetString(kSettingsKey, "ValidationPath", "serviceValidate");
  registry.SetString(kSettingsKey, "AuthHeader", "CASUser");
  registry.SetDword(kSettingsKey, "Debug", debug);
  registry.SetDword(kSettingsKey, "SessionTimeout", 480);
  registry.SetDword(kSettingsKey, "CacheCleanTimeout", 60);
  int index = 0;
  for (const std::string& path : paths) registry.SetString(kPathsKey, std::to_string(++index), path);
}

inline InMemoryFilterHost BrowserRequest(const std::string& url, const std::string& cookie = "") {
  InMemoryFilterHost host(url);
  host.SetServerVariable("HTTPS", "off");
  host.SetServerVariable("SERVER_NAME", "www.example.org");
  if (!cookie.empty()) host.AddRequestHeader("Cookie:", cookie);
  return host;
}

}  // namespace turnpike
