#include "platform/memory/recording_event_log.h"

#include <utility>

namespace turnpike {

EventSourceHandle RecordingEventLog::OpenSource(const char* source) {
  std::lock_guard lock(mutex_);
  ++opens_;
  if (fail_open_) return nullptr;
  last_source_ = source;
  ++open_sources_;
  return this;
}

bool RecordingEventLog::Write(EventSourceHandle, EventSeverity severity, std::uint16_t category,
                              std::uint32_t event_id, const char* const strings[2]) {
  std::lock_guard lock(mutex_);
  if (fail_write_) return false;
  events_.push_back(RecordedEvent{severity, category, event_id, strings[0], strings[1]});
  return true;
}

void RecordingEventLog::CloseSource(EventSourceHandle) {
  std::lock_guard lock(mutex_);
  --open_sources_;
}

std::vector<RecordedEvent> RecordingEventLog::events() const {
  std::lock_guard lock(mutex_);
  return events_;
}

std::vector<RecordedEvent> RecordingEventLog::TakeEvents() {
  std::lock_guard lock(mutex_);
  return std::exchange(events_, {});
}

int RecordingEventLog::open_sources() const {
  std::lock_guard lock(mutex_);
  return open_sources_;
}

int RecordingEventLog::opens() const {
  std::lock_guard lock(mutex_);
  return opens_;
}

void RecordingEventLog::set_fail_open(bool fail) {
  std::lock_guard lock(mutex_);
  fail_open_ = fail;
}

void RecordingEventLog::set_fail_write(bool fail) {
  std::lock_guard lock(mutex_);
  fail_write_ = fail;
}

}  // namespace turnpike
