// EscapeUrl and ServiceUrl.
//
// Input: two bytes choosing the output capacity for EscapeUrl (0 to 2299),
// one byte of switches (bit 0: HTTPS is "on", bit 1: a ServiceURL setting is
// configured, bit 2: EscapeUrl keeps '%'), then three lines: the text to
// escape, which is also the request line's URL; SERVER_NAME; the ServiceURL
// setting.
//
// Checked for EscapeUrl, with an output buffer of exactly the capacity: it
// never writes past it; `needed` is the escaped length plus one; on success
// the text is NUL-terminated, holds no byte that is unsafe in a query value
// ('%' only when asked to keep it), and reads back, escape by escape, as the
// input. For ServiceUrl: both forms fit their buffers, the escaped form is
// the unescaped one escaped, and without a ServiceURL setting the service URL
// is scheme, server name and the URL with its ticket parameter's cut taken
// out.
#include <cstring>
#include <memory>
#include <string>

#include "config/filter_settings.h"
#include "eventlog/event_reporter.h"
#include "filter/extraction.h"
#include "filter/filter.h"
#include "filter/service_url.h"
#include "fuzz_support.h"
#include "platform/memory/in_memory_filter_host.h"
#include "platform/memory/recording_event_log.h"

namespace {

// May stand unescaped in a query value; '%' only where the text's own
// escapes are kept.
bool IsSafe(unsigned char c, bool keep_percent) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
         (c != 0 && std::strchr("!'()*-./:_~", c) != nullptr) || (keep_percent && c == '%');
}

void CheckEscapeUrl(const std::string& input, std::size_t capacity, bool keep_percent) {
  const auto output = std::make_unique<char[]>(capacity == 0 ? 1 : capacity);
  // A zero capacity gets a one-byte buffer that EscapeUrl must leave alone.
  output[0] = 'X';
  std::size_t needed = 0;
  const bool fitted = turnpike::EscapeUrl(
      input.c_str(), output.get(), capacity, &needed,
      keep_percent ? turnpike::PercentSign::Keep : turnpike::PercentSign::Escape);
  const auto safe = [keep_percent](char c) { return IsSafe(static_cast<unsigned char>(c), keep_percent); };

  std::size_t expected = 1;
  for (const char c : input) expected += safe(c) ? 1 : 3;
  FUZZ_CHECK(needed == expected);
  FUZZ_CHECK(fitted == (needed <= capacity));
  if (capacity == 0) FUZZ_CHECK(output[0] == 'X');
  if (!fitted) return;

  const std::string escaped(output.get());
  FUZZ_CHECK(escaped.size() + 1 == needed);
  std::size_t at = 0;
  for (const char c : input) {
    const auto byte = static_cast<unsigned char>(c);
    if (safe(c)) {
      FUZZ_CHECK(escaped[at] == c);
      at += 1;
    } else {
      static constexpr char kHex[] = "0123456789abcdef";
      FUZZ_CHECK(escaped[at] == '%' && escaped[at + 1] == kHex[byte >> 4] &&
                 escaped[at + 2] == kHex[byte & 0x0F]);
      at += 3;
    }
  }
  // Escapes are the only '%' of the output when the input's are escaped too.
  for (const char c : escaped) FUZZ_CHECK(c == '%' || safe(c));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace turnpike::fuzz;
  if (size < 3) return 0;
  const std::size_t capacity = (std::size_t{data[0]} << 8 | data[1]) % 2300;
  const std::uint8_t switches = data[2];
  std::string_view rest = AsText(data + 3, size - 3);
  const std::string text = CString(NextField(rest));
  const std::string server_name = CString(NextField(rest));
  const std::string service_setting = CString(NextField(rest));

  CheckEscapeUrl(text, capacity, (switches & 4) != 0);

  turnpike::FilterSettings settings;
  if ((switches & 2) != 0) settings.ServiceURL = service_setting;
  turnpike::RecordingEventLog log;
  const turnpike::EventReporter reporter(log, settings.Debug);
  turnpike::InMemoryFilterHost host(text);
  host.SetServerVariable("HTTPS", (switches & 1) != 0 ? "on" : "off");
  host.SetServerVariable("SERVER_NAME", server_name);

  const std::optional<turnpike::ServiceUrls> service = turnpike::ServiceUrl(host, settings, text, reporter);
  if (!service) {
    FUZZ_CHECK(log.events().size() == 1);
    return 0;
  }
  FUZZ_CHECK(log.events().empty());
  FUZZ_CHECK(service->unescaped.size() < turnpike::kUrlBufferSize);
  FUZZ_CHECK(service->escaped.size() < turnpike::kUrlBufferSize);
  char again[turnpike::kUrlBufferSize];
  FUZZ_CHECK(turnpike::EscapeUrl(service->unescaped.c_str(), again, sizeof again, nullptr));
  FUZZ_CHECK(service->escaped == again);

  if (settings.ServiceURL) {
    FUZZ_CHECK(service->unescaped == *settings.ServiceURL);
    return 0;
  }
  const std::string origin = std::string((switches & 1) != 0 ? "https://" : "http://") + server_name;
  FUZZ_CHECK(service->unescaped.compare(0, origin.size(), origin) == 0);
  const std::string kept = service->unescaped.substr(origin.size());
  const std::optional<turnpike::TicketParameter> ticket = turnpike::FindTicketParameter(text);
  FUZZ_CHECK(kept == (ticket ? text.substr(0, ticket->cut_begin) + text.substr(ticket->cut_end) : text));
  return 0;
}
