// RecordingEventLog: keeps every written event in memory, for tests and for
// turnpike-try, which prints them.
//
// Thread-safe. It can be told to refuse opening the source or writing, to
// show that the filter carries on when the event log fails.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "platform/event_log_access.h"

namespace turnpike {

struct RecordedEvent {
  EventSeverity severity;
  std::uint16_t category;
  std::uint32_t event_id;
  std::string message;  // insertion string %1
  std::string detail;   // insertion string %2

  bool operator==(const RecordedEvent&) const = default;
};

class RecordingEventLog final : public EventLogAccess {
 public:
  EventSourceHandle OpenSource(const char* source) override;
  bool Write(EventSourceHandle source, EventSeverity severity, std::uint16_t category,
             std::uint32_t event_id, const char* const strings[2]) override;
  void CloseSource(EventSourceHandle source) override;

  std::vector<RecordedEvent> events() const;
  // Hands over the events recorded so far and forgets them.
  std::vector<RecordedEvent> TakeEvents();
  // Sources opened and not yet closed; 0 when every open was balanced.
  int open_sources() const;
  // How many times a source was opened.
  int opens() const;

  void set_fail_open(bool fail);
  void set_fail_write(bool fail);

 private:
  mutable std::mutex mutex_;
  std::vector<RecordedEvent> events_;
  std::string last_source_;
  int open_sources_ = 0;
  int opens_ = 0;
  bool fail_open_ = false;
  bool fail_write_ = false;
};

}  // namespace turnpike
