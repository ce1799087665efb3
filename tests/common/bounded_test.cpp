#include "common/bounded.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>

namespace turnpike {
namespace {

constexpr char kSentinel = '#';
constexpr std::size_t kAll = kMaxBoundedCapacity;

// A buffer with guard bytes on both sides, to catch writes outside the
// capacity the operation was given.
struct GuardedBuffer {
  static constexpr std::size_t kGuard = 8;
  explicit GuardedBuffer(std::size_t size) : capacity(size), bytes(size + 2 * kGuard, kSentinel) {}
  char* data() { return bytes.data() + kGuard; }
  std::size_t capacity;
  std::string bytes;
};

// One operation on a buffer of `capacity` that held `existing`: its result,
// the text it left, and no byte written outside the buffer; a success also
// zero-fills every byte behind the terminator up to the capacity.
struct Row {
  const char* name;
  std::size_t capacity;
  std::function<BoundedResult(char*, std::size_t)> operation;
  BoundedResult expected;
  std::string text;
  const char* existing = nullptr;
};

void Check(const Row& row) {
  SCOPED_TRACE(row.name);
  GuardedBuffer buffer(row.capacity);
  if (row.existing != nullptr) {
    std::memset(buffer.data(), 0, row.capacity);
    std::memcpy(buffer.data(), row.existing, std::strlen(row.existing));
  }
  EXPECT_EQ(row.operation(buffer.data(), row.capacity), row.expected);
  EXPECT_EQ(std::string(buffer.data()), row.text);
  EXPECT_EQ(buffer.bytes.substr(0, GuardedBuffer::kGuard), std::string(GuardedBuffer::kGuard, kSentinel));
  EXPECT_EQ(buffer.bytes.substr(GuardedBuffer::kGuard + row.capacity), std::string(GuardedBuffer::kGuard, kSentinel));
  if (row.expected == BoundedResult::Ok) {
    EXPECT_EQ(std::string(buffer.data() + row.text.size(), row.capacity - row.text.size()),
              std::string(row.capacity - row.text.size(), '\0'));
  }
}

auto Copy(std::size_t length) {
  return [length](char* buffer, std::size_t capacity) {
    return BoundedCopy(buffer, capacity, std::string(length, 'x').c_str());
  };
}
auto CopyN(const char* source, std::size_t count) {
  return [=](char* buffer, std::size_t capacity) { return BoundedCopyN(buffer, capacity, source, count); };
}
auto AppendN(const char* source, std::size_t count) {
  return [=](char* buffer, std::size_t capacity) { return BoundedAppendN(buffer, capacity, source, count); };
}
// "artifacts before: 3 artifacts after: 1" is 38 characters.
BoundedResult Format(char* buffer, std::size_t capacity) {
  return BoundedFormat(buffer, capacity, "artifacts before: %i artifacts after: %i", 3, 1);
}

constexpr BoundedResult kOk = BoundedResult::Ok;
constexpr BoundedResult kShort = BoundedResult::InsufficientBuffer;
const std::string kFormatted = "artifacts before: 3 artifacts after: 1";

// Capacity counts the terminator: a text of capacity - 1 characters is the
// longest that fits.
TEST(Bounded, WritesWithinCapacity) {
  const Row rows[] = {
      {"copy shorter than capacity - 1", 10, Copy(5), kOk, "xxxxx"},
      {"copy of capacity - 1", 10, Copy(9), kOk, std::string(9, 'x')},
      {"copy of capacity", 10, Copy(10), kShort, std::string(9, 'x')},
      {"copy of capacity + 1", 10, Copy(11), kShort, std::string(9, 'x')},
      {"copy of nothing into one", 1, Copy(0), kOk, ""},
      {"copy of one into one", 1, Copy(1), kShort, ""},
      {"count shorter than the source", 10, CopyN("abcdef", 3), kOk, "abc"},
      {"count longer than the source", 10, CopyN("abc", 8), kOk, "abc"},
      {"count zero", 4, CopyN("abc", 0), kOk, ""},
      {"count fits exactly", 4, CopyN("abcdef", 3), kOk, "abc"},
      {"count one over", 4, CopyN("abcdef", 4), kShort, "abc"},
      {"append with room to spare", 16, AppendN("host", kAll), kOk, "http://host", "http://"},
      {"append to capacity - 1", 9, AppendN("defgh", kAll), kOk, "abcdefgh", "abc"},
      {"append to capacity", 9, AppendN("defghi", kAll), kShort, "abcdefgh", "abc"},
      {"append to capacity + 1", 9, AppendN("defghij", kAll), kShort, "abcdefgh", "abc"},
      {"count limits the append", 16, AppendN("/page?ticket=1", 5), kOk, "/a/page", "/a"},
      {"append nothing to a full buffer", 4, AppendN("", kAll), kOk, "abc", "abc"},
      {"format with room", 64, Format, kOk, kFormatted},
      {"format to capacity - 1", 39, Format, kOk, kFormatted},
      {"format to capacity", 38, Format, kShort, kFormatted.substr(0, 37)},
      {"format to capacity + 1", 37, Format, kShort, kFormatted.substr(0, 36)},
  };
  for (const Row& row : rows) Check(row);
}

TEST(Bounded, RefusesInvalidArgumentsWithoutWriting) {
  for (std::size_t capacity : {std::size_t{0}, kMaxBoundedCapacity + 1}) {
    GuardedBuffer buffer(4);
    std::memset(buffer.data(), 'q', 4);
    EXPECT_EQ(BoundedCopy(buffer.data(), capacity, "abc"), BoundedResult::InvalidArgument);
    EXPECT_EQ(std::string(buffer.data(), 4), "qqqq");
  }
  EXPECT_EQ(BoundedAppend(nullptr, 0, "a"), BoundedResult::InvalidArgument);
  EXPECT_EQ(BoundedFormat(nullptr, 0, "%s", "a"), BoundedResult::InvalidArgument);
  char unterminated[4] = {'a', 'b', 'c', 'd'};
  EXPECT_EQ(BoundedAppend(unterminated, sizeof unterminated, "e"), BoundedResult::InvalidArgument);
  EXPECT_EQ(std::string(unterminated, 4), "abcd");
}

}  // namespace
}  // namespace turnpike
