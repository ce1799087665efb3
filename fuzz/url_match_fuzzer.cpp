// URL unescaping and protected-path matching.
//
// Input: up to 20 protected paths, one a line, then the request URL as the
// last line (no path lines: "/secure/" alone). The URL is cut to what the
// filter's 2083-byte buffer holds.
//
// Checked: the match is the first path, in list order, that occurs in the
// URL decoded once before its query and lowered, computed here the long way;
// letter case never changes the answer; unescaping never lengthens the text
// and leaves the query untouched.
#include <cstring>
#include <string>

#include "common/ascii.h"
#include "config/filter_settings.h"
#include "filter/filter.h"
#include "filter/path_match.h"
#include "fuzz_support.h"
#include "platform/url_unescape.h"

namespace {

using turnpike::AsciiToLower;

// Decodes %XX before the first '?' or '#', ends the text at a decoded NUL and
// lowers ASCII capitals.
std::string MatchingForm(const std::string& url) {
  std::string out;
  std::size_t i = 0;
  for (; i < url.size() && url[i] != '?' && url[i] != '#'; ++i) {
    if (url[i] == '%' && i + 2 < url.size() && turnpike::IsAsciiHexDigit(url[i + 1]) &&
        turnpike::IsAsciiHexDigit(url[i + 2])) {
      out += static_cast<char>(turnpike::AsciiHexValue(url[i + 1]) * 16 +
                               turnpike::AsciiHexValue(url[i + 2]));
      i += 2;
    } else {
      out += url[i];
    }
  }
  out.append(url, i);
  out = out.substr(0, out.find('\0'));
  for (char& c : out) c = AsciiToLower(c);
  return out;
}

int ReferenceMatch(const std::string& url, const turnpike::ProtectedPathList& paths) {
  const std::string form = MatchingForm(url);
  for (std::size_t i = 0; i < paths.Count; ++i) {
    if (form.find(paths.LoweredPaths[i]) != std::string::npos) return static_cast<int>(i);
  }
  return -1;
}

int Match(const std::string& url, const turnpike::ProtectedPathList& paths) {
  char buffer[turnpike::kUrlBufferSize] = {};
  std::memcpy(buffer, url.data(), url.size());
  return turnpike::FindProtectedPath(buffer, paths);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace turnpike::fuzz;
  std::string_view input = AsText(data, size);
  std::vector<std::string> lines;
  while (!input.empty()) lines.emplace_back(NextField(input));
  if (lines.empty()) return 0;
  std::string url = CString(lines.back()).substr(0, turnpike::kUrlBufferSize - 1);
  lines.pop_back();

  turnpike::ProtectedPathList paths;
  for (const std::string& line : lines) {
    const std::string path = CString(line);
    if (path.empty() || paths.Count == turnpike::kMaxProtectedPaths) continue;
    paths.Paths[paths.Count] = path;
    std::string lowered = path;
    for (char& c : lowered) c = AsciiToLower(c);
    paths.LoweredPaths[paths.Count++] = lowered;
  }
  if (paths.Count == 0) {
    paths.Paths[0] = paths.LoweredPaths[0] = "/secure/";
    paths.Count = 1;
  }

  // Unescaping alone.
  char unescaped[turnpike::kUrlBufferSize] = {};
  std::memcpy(unescaped, url.data(), url.size());
  turnpike::UrlUnescapeInPlace(unescaped);
  const std::size_t length = std::strlen(unescaped);
  FUZZ_CHECK(length <= url.size());
  const std::size_t query = url.find_first_of("?#");
  if (query != std::string::npos && !Contains(url.substr(0, query), "%00")) {
    // The query comes through byte for byte (a decoded NUL would end the
    // text before it).
    const std::string tail = url.substr(query);
    FUZZ_CHECK(length >= tail.size());
    FUZZ_CHECK(std::memcmp(unescaped + length - tail.size(), tail.data(), tail.size()) == 0);
  }

  const int found = Match(url, paths);
  FUZZ_CHECK(found >= -1 && found < static_cast<int>(paths.Count));
  FUZZ_CHECK(found == ReferenceMatch(url, paths));

  // Letter case is never a way around a protected path.
  std::string upper = url;
  for (char& c : upper) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  FUZZ_CHECK(Match(upper, paths) == found);
  return 0;
}
