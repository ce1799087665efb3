#include "eventlog/event_reporter.h"

#include <cstring>

#include "eventlog/message_table.h"

namespace turnpike {

void EventReporter::LogEvent(EventType type, const char* message,
                             const char* detail) const noexcept {
  if (type == EventType::Information && debug_ == 0) return;
  EventSourceHandle source = log_.OpenSource(kEventSourceName);
  if (source == nullptr) return;
  const char* const strings[2] = {message != nullptr ? message : "",
                                  detail != nullptr ? detail : ""};
  // A failed write loses the event; there is nowhere else to say so.
  (void)log_.Write(source, EventSeverityOf(type), 0, static_cast<std::uint32_t>(type), strings);
  log_.CloseSource(source);
}

void EventReporter::LogEventText(EventType type, const char* message,
                                 std::string_view detail) const noexcept {
  if (type == EventType::Information && debug_ == 0) return;
  try {
    const std::string terminated(detail);
    LogEvent(type, message, terminated.c_str());
  } catch (...) {
    LogEvent(type, message, nullptr);
  }
}

const char* MessageTableText(std::uint32_t event_id) noexcept {
  for (const MessageTableEntry& entry : kMessageTable) {
    if (entry.id == event_id) return entry.text;
  }
  return nullptr;
}

std::string RenderEvent(std::uint32_t event_id, const char* message, const char* detail) {
  const char* const inserts[2] = {message != nullptr ? message : "",
                                  detail != nullptr ? detail : ""};
  const char* text = MessageTableText(event_id);
  if (text == nullptr) {
    // As the event viewer does for an identifier without a text: show the
    // strings as they are.
    return std::string(inserts[0]) + ": " + inserts[1] + "\r\n";
  }
  std::string rendered;
  for (const char* p = text; *p != '\0'; ++p) {
    if (p[0] == '%' && (p[1] == '1' || p[1] == '2')) {
      rendered += inserts[p[1] - '1'];
      ++p;
    } else {
      rendered += *p;
    }
  }
  return rendered;
}

bool EnsureEventSource(RegistryAccess& registry) {
  {
    ScopedRegistryKey existing(registry);
    if (registry.OpenKey(kEventSourceKey, RegistryAccessMode::Read, existing.out())) {
      return true;
    }
  }
  ScopedRegistryKey key(registry);
  if (!registry.CreateKey(kEventSourceKey, key.out())) return false;
  const auto file_size = static_cast<std::uint32_t>(std::strlen(kEventMessageFile) + 1);
  if (!registry.SetValue(key.get(), "EventMessageFile", RegistryType::ExpandSz,
                         kEventMessageFile, file_size)) {
    return false;
  }
  const std::uint32_t types = kTypesSupported;
  unsigned char data[4];
  for (int i = 0; i < 4; ++i) data[i] = static_cast<unsigned char>(types >> (8 * i));
  return registry.SetValue(key.get(), "TypesSupported", RegistryType::Dword, data, sizeof data);
}

}  // namespace turnpike
