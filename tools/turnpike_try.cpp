// turnpike-try: runs the filter on requests given on the command line.
//
// For administrators checking which URLs a configuration protects and what
// the filter answers, and for debugging a sign-on. It starts the filter from
// a .reg file exactly as a web-server host does, runs each URL as one request
// in the same process (a cookie set by one answer is carried to the next, as
// a browser would), prints each decision and the events, then stops.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "common/ascii.h"
#include "common/version.h"
#include "config/production_check.h"
#include "eventlog/event_reporter.h"
#include "filter/filter.h"
#include "filter/path_match.h"
#include "platform/memory/in_memory_filter_host.h"
#include "platform/memory/recording_event_log.h"
#include "platform/posix/curl_libxml2_validation.h"
#include "platform/posix/reg_file_registry.h"
#include "platform/posix/posix_stream_socket.h"
#include "platform/posix/system_clock.h"
#include "platform/posix/system_random.h"
#include "tools/json_writer.h"

namespace turnpike {
namespace {

constexpr const char* kUsage =
    "usage: turnpike-try [--registry FILE] [--json] [--header 'Name: value']...\n"
    "                    [--var NAME=VALUE]... URL...\n"
    "       turnpike-try --check [--registry FILE]\n"
    "\n"
    "Starts the Turnpike filter from a .reg file as a web server would, runs each\n"
    "URL (the request line's URL as sent: path and query) as one request, one\n"
    "after the other in one process, and prints for each the decision, the answer\n"
    "and the events. A cookie that an answer sets is sent with the requests that\n"
    "follow, as a browser would.\n"
    "\n"
    "  --registry FILE        the .reg file (default: $TURNPIKE_REGISTRY, else\n"
    "                         /etc/turnpike/turnpike.reg)\n"
    "  --json                 print JSON Lines: one object for the start, one per\n"
    "                         request, one for the stop\n"
    "  --header 'Name: value' a request header sent with every request\n"
    "  --var NAME=VALUE       a server variable for every request (defaults:\n"
    "                         HTTPS=off, SERVER_NAME=localhost)\n"
    "  --check                instead of running requests, say what in the\n"
    "                         configuration is risky on a production server, and\n"
    "                         the line to add for each\n"
    "  --version              the version of turnpike-try and of the filter in it\n"
    "  --help                 this text\n"
    "\n"
    "Exit status: 0 when the filter started and every request was run, 1 when the\n"
    "filter refused to start, 2 on bad arguments. With --check: 0 when nothing was\n"
    "found, 1 with findings or when the filter refused to start.\n";

constexpr const char* kRegistryFileRefused = "The Turnpike registry file could not be loaded:";

struct Options {
  std::optional<std::string> registry;
  bool json = false;
  bool check = false;
  std::vector<std::pair<std::string, std::string>> headers;  // name with colon, value
  std::vector<std::pair<std::string, std::string>> variables{{"HTTPS", "off"}, {"SERVER_NAME", "localhost"}};
  std::vector<std::string> urls;
};

// Parses the command line; nothing with an error message on bad arguments.
std::optional<Options> ParseArguments(int argc, char** argv, std::string& error) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    const auto value = [&]() -> std::optional<std::string> {
      if (i + 1 >= argc) {
        error = argument + " needs a value";
        return std::nullopt;
      }
      return std::string(argv[++i]);
    };
    if (argument == "--json") {
      options.json = true;
    } else if (argument == "--check") {
      options.check = true;
    } else if (argument == "--registry") {
      options.registry = value();
      if (!options.registry) return std::nullopt;
    } else if (argument == "--header") {
      const auto header = value();
      if (!header) return std::nullopt;
      const std::size_t colon = header->find(':');
      if (colon == std::string::npos || colon == 0) {
        error = "--header takes 'Name: value', not '" + *header + "'";
        return std::nullopt;
      }
      std::size_t start = colon + 1;
      while (start < header->size() && ((*header)[start] == ' ' || (*header)[start] == '\t')) ++start;
      options.headers.emplace_back(header->substr(0, colon + 1), header->substr(start));
    } else if (argument == "--var") {
      const auto variable = value();
      if (!variable) return std::nullopt;
      const std::size_t equals = variable->find('=');
      if (equals == std::string::npos || equals == 0) {
        error = "--var takes NAME=VALUE, not '" + *variable + "'";
        return std::nullopt;
      }
      std::string name = variable->substr(0, equals);
      std::string text = variable->substr(equals + 1);
      bool replaced = false;
      for (auto& [known, known_value] : options.variables) {
        if (AsciiEqualsIgnoreCase(known, name)) {
          known_value = text;
          replaced = true;
        }
      }
      if (!replaced) options.variables.emplace_back(std::move(name), std::move(text));
    } else if (argument == "--") {
      for (++i; i < argc; ++i) options.urls.emplace_back(argv[i]);
    } else if (argument.size() > 1 && argument[0] == '-' && argument[1] == '-') {
      error = "unknown option " + argument;
      return std::nullopt;
    } else {
      options.urls.push_back(argument);
    }
  }
  if (options.check && !options.urls.empty()) {
    error = "--check takes no URL";
    return std::nullopt;
  }
  if (options.urls.empty() && !options.check) {
    error = "no URL given";
    return std::nullopt;
  }
  return options;
}

// The cookies that answers have set, sent on later requests as a browser
// would: later values replace earlier ones of the same name.
class CookieJar {
 public:
  void TakeFrom(const std::string& header_block) {
    std::istringstream lines(header_block);
    std::string line;
    while (std::getline(lines, line)) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      constexpr std::string_view kSetCookie = "Set-Cookie:";
      if (line.size() < kSetCookie.size() ||
          !AsciiEqualsIgnoreCase(std::string_view(line).substr(0, kSetCookie.size()), kSetCookie)) {
        continue;
      }
      std::string pair = line.substr(kSetCookie.size());
      pair.erase(0, pair.find_first_not_of(' '));
      const std::string attributes = pair.substr(std::min(pair.find(';'), pair.size()));
      pair = pair.substr(0, pair.find(';'));
      const std::size_t equals = pair.find('=');
      if (equals == std::string::npos || equals == 0) continue;
      if (ExpiresAtOnce(attributes)) {
        Remove(pair.substr(0, equals));
      } else {
        Set(pair.substr(0, equals), pair.substr(equals + 1));
      }
    }
  }

  // The Cookie header for the next request: the one given on the command
  // line, if any, followed by the jar's cookies.
  std::optional<std::string> CookieHeader(const std::optional<std::string>& given) const {
    std::string header = given.value_or("");
    for (const auto& [name, value] : cookies_) {
      if (!header.empty()) header += "; ";
      header += name + "=" + value;
    }
    if (header.empty() && !given) return std::nullopt;
    return header;
  }

 private:
  // ";path=/;Max-Age=0": the browser drops the cookie.
  static bool ExpiresAtOnce(const std::string& attributes) {
    std::string lowered = attributes;
    for (char& c : lowered) c = AsciiToLower(c);
    lowered.erase(std::remove(lowered.begin(), lowered.end(), ' '), lowered.end());
    return (lowered + ";").find(";max-age=0;") != std::string::npos;
  }
  void Remove(const std::string& name) {
    std::erase_if(cookies_, [&name](const auto& cookie) { return cookie.first == name; });
  }
  void Set(std::string name, std::string value) {
    for (auto& [known, known_value] : cookies_) {
      if (known == name) {
        known_value = std::move(value);
        return;
      }
    }
    cookies_.emplace_back(std::move(name), std::move(value));
  }
  std::vector<std::pair<std::string, std::string>> cookies_;
};

const char* TypeName(std::uint32_t id) {
  switch (id) {
    case 1: return "Error";
    case 2: return "Warning";
    case 4: return "Information";
    case 5: return "Started";
    case 6: return "Stopped";
    default: return "Event";
  }
}

std::string EventsJson(const std::vector<RecordedEvent>& events) {
  std::string out = "[";
  for (const RecordedEvent& event : events) {
    if (out.size() > 1) out += ",";
    out += "{\"type\":" + std::to_string(event.event_id) + ",\"message\":" + JsonString(event.message) +
           ",\"detail\":" + JsonString(event.detail) + "}";
  }
  return out + "]";
}

void PrintEventsText(const std::vector<RecordedEvent>& events) {
  for (const RecordedEvent& event : events) {
    std::string text = RenderEvent(event.event_id, event.message.c_str(), event.detail.c_str());
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    std::cout << "  event " << event.event_id << " (" << TypeName(event.event_id) << "): " << text << "\n";
  }
}

// Shows control characters of a header block, so CR LF pairs can be read.
std::string Visible(const std::string& text) {
  std::string out;
  for (const char c : text) {
    if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
  return out;
}

struct Outcome {
  FilterStatus status;
  std::optional<std::string> matched_path;
  std::optional<InMemoryFilterHost::Response> response;
  std::optional<std::pair<std::string, std::string>> identity_header;
  std::vector<RecordedEvent> events;
};

Outcome RunRequest(TurnpikeFilter& filter, RecordingEventLog& log, const Options& options,
                   const std::string& url, CookieJar& jar) {
  InMemoryFilterHost host(url);
  std::optional<std::string> given_cookie;
  for (const auto& [name, value] : options.headers) {
    if (AsciiEqualsIgnoreCase(name, "Cookie:")) {
      given_cookie = value;
    } else {
      host.AddRequestHeader(name, value);
    }
  }
  if (auto cookie = jar.CookieHeader(given_cookie)) host.AddRequestHeader("Cookie:", *cookie);
  for (const auto& [name, value] : options.variables) host.SetServerVariable(name, value);

  Outcome outcome{filter.HttpFilterProc(host, kSfNotifyPreprocHeaders), std::nullopt, std::nullopt,
                  std::nullopt, log.TakeEvents()};

  // Which path matched, found again on a copy of the URL the way the filter
  // does (there is no server path here to try besides it).
  {
    const ProtectedPathList& paths = filter.settings().ProtectedPaths;
    std::string copy = url;
    int index = FindProtectedPath(copy.data(), paths);
    if (index < 0 && RemovePathParameters(copy.data())) index = FindProtectedPathInDecoded(copy.data(), paths);
    if (index >= 0) outcome.matched_path = paths.Paths[static_cast<std::size_t>(index)];
  }
  outcome.response = host.response();
  if (outcome.response) jar.TakeFrom(outcome.response->headers);
  // Named as IIS names it, with its colon. The identity header is the
  // first the filter sets; attribute headers may follow it.
  if (host.replaced()) {
    const std::string& name = filter.settings().AuthHeader;
    const std::vector<std::string> values = host.HeaderValues(name);
    if (!values.empty()) outcome.identity_header = std::make_pair(name + ":", values.front());
  }
  return outcome;
}

void PrintOutcome(const Options& options, const std::string& url, const Outcome& outcome) {
  if (options.json) {
    std::string line = "{\"url\":" + JsonString(url) + ",\"status\":\"" + IsapiStatusName(outcome.status) +
                       "\",\"matched_path\":" + (outcome.matched_path ? JsonString(*outcome.matched_path) : "null") +
                       ",\"response\":";
    line += outcome.response ? "{\"status_text\":" + JsonString(outcome.response->status_text) +
                                   ",\"headers\":" + JsonString(outcome.response->headers) +
                                   ",\"body\":" + JsonString(outcome.response->body) + "}"
                             : "null";
    line += ",\"identity_header\":";
    line += outcome.identity_header ? "{\"name\":" + JsonString(outcome.identity_header->first) +
                                          ",\"value\":" + JsonString(outcome.identity_header->second) + "}"
                                    : "null";
    line += ",\"events\":" + EventsJson(outcome.events) + "}";
    std::cout << line << "\n";
    return;
  }
  std::cout << url << "\n  " << IsapiStatusName(outcome.status);
  std::cout << (outcome.matched_path ? " (protected by " + *outcome.matched_path + ")" : " (not protected)") << "\n";
  if (outcome.response) {
    std::cout << "  response: " << outcome.response->status_text << "\n  headers: "
              << Visible(outcome.response->headers) << "\n";
    if (!outcome.response->body.empty()) {
      std::cout << "  body: " << Visible(outcome.response->body) << "\n";
    }
  }
  if (outcome.identity_header) {
    std::cout << "  identity header: " << outcome.identity_header->first << " "
              << outcome.identity_header->second << "\n";
  }
  PrintEventsText(outcome.events);
}

int Run(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::cout << kUsage;
      return 0;
    }
    if (std::strcmp(argv[i], "--version") == 0) {
      std::cout << "turnpike-try " TURNPIKE_VERSION "\n";
      return 0;
    }
  }
  std::string error;
  const std::optional<Options> options = ParseArguments(argc, argv, error);
  if (!options) {
    std::cerr << "turnpike-try: " << error << "\n\n" << kUsage;
    return 2;
  }

  const std::string path = ResolveRegistryPath(options->registry ? options->registry->c_str() : nullptr);
  RegFileRegistry registry = RegFileRegistry::FromFile(path);
  RecordingEventLog log;
  SystemClock clock;
  SystemRandom random;
  CurlLibxml2ValidationPlatform validation;
  PosixStreamConnector network;
  // Its requests are in memory, bodies included (they have none), so it
  // checks a configuration with SingleLogout as Apache would take it.
  TurnpikeFilter filter(PlatformServices{.registry = &registry, .event_log = &log, .clock = &clock,
                                         .validation = &validation, .reads_request_bodies = true,
                                         .network = &network, .random = &random});

  if (const auto& problem = registry.problem()) {
    filter.reporter().LogEvent(EventType::Error, kRegistryFileRefused, problem->c_str());
  }
  const bool started = filter.Start();
  const std::vector<RecordedEvent> start_events = log.TakeEvents();
  if (options->json) {
    std::cout << "{\"start\":{\"ok\":" << (started ? "true" : "false") << ",\"registry\":" << JsonString(path)
              << ",\"events\":" << EventsJson(start_events) << "}}\n";
  } else {
    std::cout << "start (" << path << "): " << (started ? "ok" : "refused") << "\n";
    PrintEventsText(start_events);
  }

  if (options->check) {
    const std::vector<ProductionFinding> findings =
        started ? CheckForProduction(filter.settings()) : std::vector<ProductionFinding>();
    if (!options->json) std::cout << "check: " << findings.size() << " finding(s)\n";
    for (const ProductionFinding& finding : findings) {
      if (options->json) {
        std::cout << "{\"finding\":{\"risk\":" << JsonString(finding.risk)
                  << ",\"line\":" << JsonString(finding.line) << "}}\n";
      } else {
        std::cout << "  risk: " << finding.risk << "\n  add:  " << finding.line << "\n";
      }
    }
    filter.Stop();
    log.TakeEvents();
    return started && findings.empty() ? 0 : 1;
  }

  if (started) {
    CookieJar jar;
    for (const std::string& url : options->urls) {
      PrintOutcome(*options, url, RunRequest(filter, log, *options, url, jar));
    }
  }

  filter.Stop();
  const std::vector<RecordedEvent> stop_events = log.TakeEvents();
  if (options->json) {
    std::cout << "{\"stop\":{\"events\":" << EventsJson(stop_events) << "}}\n";
  } else {
    std::cout << "stop\n";
    PrintEventsText(stop_events);
  }
  return started ? 0 : 1;
}

}  // namespace
}  // namespace turnpike

int main(int argc, char** argv) {
  try {
    return turnpike::Run(argc, argv);
  } catch (const std::exception& e) {
    std::cerr << "turnpike-try: " << e.what() << "\n";
    return 1;
  }
}
