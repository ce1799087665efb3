#include "hosts/nginx/nginx_event_log.h"

#include <string>

#include "eventlog/event_reporter.h"

namespace turnpike {
namespace {

constexpr std::uint32_t kStartedEvent = 5;
constexpr std::uint32_t kStoppedEvent = 6;

// The event as one line of text, without the message table's CR LF and with
// every other control character escaped.
std::string EventLine(std::uint32_t event_id, const char* const strings[2]) {
  std::string text;
  try {
    text = RenderEvent(event_id, strings[0], strings[1]);
  } catch (...) {
    // Without memory for the text, the message alone still says what happened.
    text = strings[0] != nullptr ? strings[0] : "";
  }
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  std::string line;
  try {
    line.reserve(text.size());
    for (const char c : text) {
      const auto byte = static_cast<unsigned char>(c);
      if (byte >= 0x20 && byte != 0x7f) {
        line += c;
        continue;
      }
      constexpr char kHex[] = "0123456789abcdef";
      line += "\\x";
      line += kHex[byte >> 4];
      line += kHex[byte & 0xf];
    }
  } catch (...) {
    return {};
  }
  return line;
}

void WriteLine(ngx_log_t* log, std::uint32_t event_id, const char* const strings[2]) {
  // nginx would drop the entry: spare the rendering (the Debug trace under
  // an error_log at warn costs no more than without it).
  if (log->log_level < NginxLogLevelOf(event_id)) return;
  const std::string line = EventLine(event_id, strings);
  // The text comes from requests and CAS answers: always an argument.
  ngx_log_error(NginxLogLevelOf(event_id), log, 0, "[event %uD] %s", static_cast<uint32_t>(event_id),
                line.c_str());
}

}  // namespace

ngx_uint_t NginxLogLevelOf(std::uint32_t event_id) noexcept {
  switch (event_id) {
    case 1: return NGX_LOG_ERR;
    case 2: return NGX_LOG_WARN;
    case kStartedEvent:
    case kStoppedEvent: return NGX_LOG_NOTICE;
    default: return NGX_LOG_INFO;
  }
}

EventSourceHandle NginxEventLog::OpenSource(const char*) { return this; }

bool NginxEventLog::Write(EventSourceHandle, EventSeverity, std::uint16_t, std::uint32_t event_id,
                          const char* const strings[2]) {
  if (!lifecycle_events_ && (event_id == kStartedEvent || event_id == kStoppedEvent)) return true;
  WriteLine(target_ != nullptr ? target_ : ngx_cycle->log, event_id, strings);
  return true;
}

void NginxEventLog::CloseSource(EventSourceHandle) {}

EventSourceHandle NginxRequestEventLog::OpenSource(const char*) { return this; }

bool NginxRequestEventLog::Write(EventSourceHandle, EventSeverity, std::uint16_t,
                                 std::uint32_t event_id, const char* const strings[2]) {
  WriteLine(request_->connection->log, event_id, strings);
  return true;
}

void NginxRequestEventLog::CloseSource(EventSourceHandle) {}

}  // namespace turnpike
