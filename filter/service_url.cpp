#include "filter/service_url.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "common/ascii.h"
#include "filter/extraction.h"
#include "filter/filter.h"

namespace turnpike {
namespace {

constexpr const char* kAssemblyFailed =
    "The Turnpike filter was unable to assemble a service url for the request: ";
constexpr const char* kEscapeFailed =
    "The Turnpike filter was unable to generate a URL Escaped redirection url for";

// Bytes that may not stand unescaped in a query value, '%' among them: the
// receiver decodes the value once, and must get back exactly the text that
// was escaped, the page's own escapes included.
constexpr std::array<bool, 256> MakeUnsafeTable() {
  std::array<bool, 256> unsafe{};
  for (std::size_t b = 0x01; b <= 0x1F; ++b) unsafe[b] = true;
  for (std::size_t b = 0x7F; b <= 0xFF; ++b) unsafe[b] = true;
  for (const char c : std::string_view(" \"#$%&+,;<=>?@[\\]^`{|}")) {
    unsafe[static_cast<unsigned char>(c)] = true;
  }
  return unsafe;
}

constexpr std::array<bool, 256> kUnsafe = MakeUnsafeTable();
constexpr char kHexDigits[] = "0123456789abcdef";

// Reads a server variable into the 2083-byte work buffer. The host promised
// a terminator; one is set at the end all the same, so that a host breaking
// that promise cannot make the searches run past the buffer.
bool ReadVariable(FilterHost& host, const char* name, char (&work)[kUrlBufferSize]) {
  std::uint32_t size = kUrlBufferSize;
  if (!host.GetServerVariable(name, work, &size)) return false;
  work[kUrlBufferSize - 1] = '\0';
  return true;
}

// Appends the first `count` bytes of `text` behind the `length` bytes already
// in `out` and terminates them; false when they and the terminator do not
// fit in the buffer. The same bound as BoundedAppendN, without its clearing
// of the rest of the buffer: nothing reads this one past its terminator, and
// clearing two kilobytes for each of the parts would cost a request more
// than the rest of its service URL.
bool Append(char (&out)[kUrlBufferSize], std::size_t& length, std::string_view text) noexcept {
  if (text.size() >= kUrlBufferSize - length) return false;
  std::memcpy(out + length, text.data(), text.size());
  length += text.size();
  out[length] = '\0';
  return true;
}

// The scheme and server name, without a slash after them.
bool AppendServer(FilterHost& host, const FilterSettings& settings, char (&out)[kUrlBufferSize],
                  std::size_t& length) {
  if (settings.ServerBaseURL) return Append(out, length, *settings.ServerBaseURL);
  char work[kUrlBufferSize];
  if (!ReadVariable(host, "HTTPS", work)) return false;
  const std::string_view scheme = AsciiEqualsIgnoreCase(work, "on") ? "https://" : "http://";
  if (!Append(out, length, scheme)) return false;
  if (!ReadVariable(host, "SERVER_NAME", work)) return false;
  return Append(out, length, work);
}

// The unescaped service URL into `out`; false on any failure, reported by the
// caller as one event.
bool AssembleServiceUrl(FilterHost& host, const FilterSettings& settings, std::string_view url,
                        const std::optional<TicketParameter>& ticket, char (&out)[kUrlBufferSize]) {
  std::size_t length = 0;
  if (settings.ServiceURL) return Append(out, length, *settings.ServiceURL);
  if (!AppendServer(host, settings, out, length)) return false;
  // The CAS server adds its ticket to the service URL it was given; taking
  // that one parameter out, wherever the server put it, gives back the
  // service URL the browser was sent to log in with.
  if (!ticket) return Append(out, length, url);
  return Append(out, length, url.substr(0, ticket->cut_begin)) &&
         Append(out, length, url.substr(ticket->cut_end));
}

}  // namespace

bool EscapeUrl(const char* input, char* output, std::size_t capacity, std::size_t* needed,
               PercentSign percent) noexcept {
  const bool keep_percent = percent == PercentSign::Keep;
  std::size_t count = 0;
  bool fits = true;
  const char* p = input;
  // While an escape and the NUL still fit behind the text so far, no byte can
  // reach the end of the output: copy without the checks. The walk below
  // takes over for the last few bytes of a full buffer and for what does not
  // fit.
  for (; *p != '\0' && count + 3 < capacity; ++p) {
    const auto byte = static_cast<unsigned char>(*p);
    if (kUnsafe[byte] && !(keep_percent && byte == '%')) {
      output[count] = '%';
      output[count + 1] = kHexDigits[byte >> 4];
      output[count + 2] = kHexDigits[byte & 0x0F];
      count += 3;
    } else {
      output[count++] = *p;
    }
  }
  for (; *p != '\0'; ++p) {
    if (count == capacity) fits = false;
    const auto byte = static_cast<unsigned char>(*p);
    if (kUnsafe[byte] && !(keep_percent && byte == '%')) {
      // Three bytes and the NUL must still fit behind this escape.
      if (count + 3 >= capacity) fits = false;
      if (fits) {
        output[count] = '%';
        output[count + 1] = kHexDigits[byte >> 4];
        output[count + 2] = kHexDigits[byte & 0x0F];
      }
      count += 3;
    } else {
      if (fits) output[count] = *p;
      count += 1;
    }
  }
  if (fits && count < capacity) output[count] = '\0';
  if (needed != nullptr) *needed = count + 1;
  return fits && count + 1 <= capacity;
}

std::optional<ServiceUrls> ServiceUrl(FilterHost& host, const FilterSettings& settings,
                                      std::string_view url, const EventReporter& reporter) {
  return ServiceUrl(host, settings, url, FindTicketParameter(url), reporter);
}

std::optional<ServiceUrls> ServiceUrl(FilterHost& host, const FilterSettings& settings,
                                      std::string_view url,
                                      const std::optional<TicketParameter>& ticket,
                                      const EventReporter& reporter) {
  char unescaped[kUrlBufferSize];
  if (!AssembleServiceUrl(host, settings, url, ticket, unescaped)) {
    reporter.LogEvent(EventType::Error, kAssemblyFailed, nullptr);
    return std::nullopt;
  }
  char escaped[kUrlBufferSize];
  if (!EscapeUrl(unescaped, escaped, kUrlBufferSize, nullptr)) {
    reporter.LogEvent(EventType::Error, kEscapeFailed, unescaped);
    return std::nullopt;
  }
  return ServiceUrls{escaped, unescaped};
}

}  // namespace turnpike
