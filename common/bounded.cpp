#include "common/bounded.h"

#include <cstdio>
#include <cstring>

namespace turnpike {
namespace {

bool CapacityIsValid(std::size_t capacity) {
  return capacity != 0 && capacity <= kMaxBoundedCapacity;
}

// Writes at most `count` bytes of `source` at `destination`, which has room
// for `room` bytes including the terminator, and settles the result.
BoundedResult CopyInto(char* destination, std::size_t room, const char* source,
                       std::size_t count) {
  std::size_t length = 0;
  while (length < count && length + 1 < room && source[length] != '\0') {
    ++length;
  }
  std::memmove(destination, source, length);
  destination[length] = '\0';
  const bool complete = length == count || source[length] == '\0';
  if (!complete) {
    return BoundedResult::InsufficientBuffer;
  }
  std::memset(destination + length + 1, 0, room - length - 1);
  return BoundedResult::Ok;
}

// Length of the string in `destination`, or `capacity` when it holds no
// terminator within its capacity.
std::size_t BoundedLength(const char* destination, std::size_t capacity) {
  const void* end = std::memchr(destination, '\0', capacity);
  return end == nullptr ? capacity
                        : static_cast<std::size_t>(static_cast<const char*>(end) - destination);
}

}  // namespace

BoundedResult BoundedCopy(char* destination, std::size_t capacity,
                          const char* source) noexcept {
  return BoundedCopyN(destination, capacity, source, kMaxBoundedCapacity);
}

BoundedResult BoundedCopyN(char* destination, std::size_t capacity,
                           const char* source, std::size_t count) noexcept {
  if (!CapacityIsValid(capacity)) {
    return BoundedResult::InvalidArgument;
  }
  return CopyInto(destination, capacity, source, count);
}

BoundedResult BoundedAppend(char* destination, std::size_t capacity,
                            const char* source) noexcept {
  return BoundedAppendN(destination, capacity, source, kMaxBoundedCapacity);
}

BoundedResult BoundedAppendN(char* destination, std::size_t capacity,
                             const char* source, std::size_t count) noexcept {
  if (!CapacityIsValid(capacity)) {
    return BoundedResult::InvalidArgument;
  }
  const std::size_t length = BoundedLength(destination, capacity);
  if (length == capacity) {
    return BoundedResult::InvalidArgument;
  }
  return CopyInto(destination + length, capacity - length, source, count);
}

BoundedResult BoundedFormat(char* destination, std::size_t capacity,
                            const char* format, ...) noexcept {
  std::va_list arguments;
  va_start(arguments, format);
  const BoundedResult result = BoundedFormatV(destination, capacity, format, arguments);
  va_end(arguments);
  return result;
}

BoundedResult BoundedFormatV(char* destination, std::size_t capacity,
                             const char* format, std::va_list arguments) noexcept {
  if (!CapacityIsValid(capacity)) {
    return BoundedResult::InvalidArgument;
  }
  const int needed = std::vsnprintf(destination, capacity, format, arguments);
  if (needed < 0) {
    // An encoding error leaves the buffer undefined: keep the promise of a
    // terminated, empty text.
    destination[0] = '\0';
    return BoundedResult::InvalidArgument;
  }
  const auto length = static_cast<std::size_t>(needed);
  if (length >= capacity) {
    return BoundedResult::InsufficientBuffer;
  }
  std::memset(destination + length + 1, 0, capacity - length - 1);
  return BoundedResult::Ok;
}

}  // namespace turnpike
