#include "common/bounded.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace turnpike {
namespace {

constexpr char kSentinel = '#';

// A buffer with guard bytes on both sides, to catch writes outside the
// capacity the operation was given.
struct GuardedBuffer {
  static constexpr std::size_t kGuard = 8;
  explicit GuardedBuffer(std::size_t size) : capacity(size), bytes(size + 2 * kGuard, kSentinel) {}
  char* data() { return bytes.data() + kGuard; }
  std::string text() { return std::string(data()); }
  bool GuardsIntact() const {
    for (std::size_t i = 0; i < kGuard; ++i) {
      if (bytes[i] != kSentinel || bytes[bytes.size() - 1 - i] != kSentinel) return false;
    }
    return true;
  }
  // Every byte behind the terminator, up to the capacity, is zero.
  bool ZeroFilledBehindTerminator() {
    const std::size_t length = std::strlen(data());
    for (std::size_t i = length; i < capacity; ++i) {
      if (data()[i] != '\0') return false;
    }
    return true;
  }
  std::size_t capacity;
  std::string bytes;
};

struct CopyRow {
  const char* name;
  std::size_t source_length;  // a source of this many 'x'
  std::size_t capacity;
  BoundedResult expected;
  std::size_t expected_length;
};

class BoundedCopyTest : public testing::TestWithParam<CopyRow> {};

TEST_P(BoundedCopyTest, CopiesWithinCapacity) {
  const CopyRow& row = GetParam();
  const std::string source(row.source_length, 'x');
  GuardedBuffer buffer(row.capacity);
  EXPECT_EQ(BoundedCopy(buffer.data(), row.capacity, source.c_str()), row.expected);
  EXPECT_EQ(buffer.text(), std::string(row.expected_length, 'x'));
  EXPECT_TRUE(buffer.GuardsIntact());
  if (row.expected == BoundedResult::Ok) EXPECT_TRUE(buffer.ZeroFilledBehindTerminator());
}

// Capacity counts the terminator: a text of capacity - 1 characters is the
// longest that fits.
INSTANTIATE_TEST_SUITE_P(
    Boundaries, BoundedCopyTest,
    testing::Values(CopyRow{"ShorterThanCapacityMinusOne", 5, 10, BoundedResult::Ok, 5},
                    CopyRow{"CapacityMinusOne", 9, 10, BoundedResult::Ok, 9},
                    CopyRow{"Capacity", 10, 10, BoundedResult::InsufficientBuffer, 9},
                    CopyRow{"CapacityPlusOne", 11, 10, BoundedResult::InsufficientBuffer, 9},
                    CopyRow{"EmptyIntoOne", 0, 1, BoundedResult::Ok, 0},
                    CopyRow{"OneIntoOne", 1, 1, BoundedResult::InsufficientBuffer, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(BoundedCopy, RefusesInvalidCapacityWithoutWriting) {
  for (std::size_t capacity : {std::size_t{0}, kMaxBoundedCapacity + 1}) {
    GuardedBuffer buffer(4);
    std::memset(buffer.data(), 'q', 4);
    EXPECT_EQ(BoundedCopy(buffer.data(), capacity, "abc"), BoundedResult::InvalidArgument);
    EXPECT_EQ(std::string(buffer.data(), 4), "qqqq");
  }
  EXPECT_EQ(BoundedAppend(nullptr, 0, "a"), BoundedResult::InvalidArgument);
  EXPECT_EQ(BoundedFormat(nullptr, 0, "%s", "a"), BoundedResult::InvalidArgument);
}

struct CopyNRow {
  const char* name;
  const char* source;
  std::size_t count;
  std::size_t capacity;
  BoundedResult expected;
  const char* expected_text;
};

class BoundedCopyNTest : public testing::TestWithParam<CopyNRow> {};

TEST_P(BoundedCopyNTest, CopiesAtMostCount) {
  const CopyNRow& row = GetParam();
  GuardedBuffer buffer(row.capacity);
  EXPECT_EQ(BoundedCopyN(buffer.data(), row.capacity, row.source, row.count), row.expected);
  EXPECT_EQ(buffer.text(), row.expected_text);
  EXPECT_TRUE(buffer.GuardsIntact());
  if (row.expected == BoundedResult::Ok) EXPECT_TRUE(buffer.ZeroFilledBehindTerminator());
}

INSTANTIATE_TEST_SUITE_P(
    Counts, BoundedCopyNTest,
    testing::Values(CopyNRow{"CountShorterThanSource", "abcdef", 3, 10, BoundedResult::Ok, "abc"},
                    CopyNRow{"CountLongerThanSource", "abc", 8, 10, BoundedResult::Ok, "abc"},
                    CopyNRow{"CountZero", "abc", 0, 4, BoundedResult::Ok, ""},
                    CopyNRow{"CountFitsExactly", "abcdef", 3, 4, BoundedResult::Ok, "abc"},
                    CopyNRow{"CountOneOver", "abcdef", 4, 4, BoundedResult::InsufficientBuffer, "abc"}),
    [](const auto& info) { return std::string(info.param.name); });

struct AppendRow {
  const char* name;
  const char* existing;
  const char* source;
  std::size_t count;
  std::size_t capacity;
  BoundedResult expected;
  const char* expected_text;
};

class BoundedAppendTest : public testing::TestWithParam<AppendRow> {};

TEST_P(BoundedAppendTest, AppendsWithinCapacity) {
  const AppendRow& row = GetParam();
  GuardedBuffer buffer(row.capacity);
  std::memset(buffer.data(), 0, row.capacity);
  std::memcpy(buffer.data(), row.existing, std::strlen(row.existing));
  EXPECT_EQ(BoundedAppendN(buffer.data(), row.capacity, row.source, row.count), row.expected);
  EXPECT_EQ(buffer.text(), row.expected_text);
  EXPECT_TRUE(buffer.GuardsIntact());
  if (row.expected == BoundedResult::Ok) EXPECT_TRUE(buffer.ZeroFilledBehindTerminator());
}

constexpr std::size_t kAll = kMaxBoundedCapacity;

INSTANTIATE_TEST_SUITE_P(
    Boundaries, BoundedAppendTest,
    testing::Values(
        AppendRow{"FitsWithRoomToSpare", "http://", "host", kAll, 16, BoundedResult::Ok, "http://host"},
        AppendRow{"CapacityMinusOne", "abc", "defgh", kAll, 9, BoundedResult::Ok, "abcdefgh"},
        AppendRow{"Capacity", "abc", "defghi", kAll, 9, BoundedResult::InsufficientBuffer, "abcdefgh"},
        AppendRow{"CapacityPlusOne", "abc", "defghij", kAll, 9, BoundedResult::InsufficientBuffer, "abcdefgh"},
        AppendRow{"CountLimitsTheAppend", "/a", "/page?ticket=1", 5, 16, BoundedResult::Ok, "/a/page"},
        AppendRow{"EmptyToFullBuffer", "abc", "", kAll, 4, BoundedResult::Ok, "abc"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(BoundedAppend, RefusesADestinationWithoutTerminator) {
  char buffer[4] = {'a', 'b', 'c', 'd'};
  EXPECT_EQ(BoundedAppend(buffer, sizeof buffer, "e"), BoundedResult::InvalidArgument);
  EXPECT_EQ(std::string(buffer, 4), "abcd");
}

struct FormatRow {
  const char* name;
  std::size_t capacity;
  BoundedResult expected;
  const char* expected_text;
};

class BoundedFormatTest : public testing::TestWithParam<FormatRow> {};

// "artifacts before: 3 artifacts after: 1" is 38 characters.
TEST_P(BoundedFormatTest, FormatsWithinCapacity) {
  const FormatRow& row = GetParam();
  GuardedBuffer buffer(row.capacity);
  EXPECT_EQ(BoundedFormat(buffer.data(), row.capacity, "artifacts before: %i artifacts after: %i", 3, 1),
            row.expected);
  EXPECT_EQ(buffer.text(), row.expected_text);
  EXPECT_TRUE(buffer.GuardsIntact());
  if (row.expected == BoundedResult::Ok) EXPECT_TRUE(buffer.ZeroFilledBehindTerminator());
}

INSTANTIATE_TEST_SUITE_P(
    Boundaries, BoundedFormatTest,
    testing::Values(
        FormatRow{"Roomy", 64, BoundedResult::Ok, "artifacts before: 3 artifacts after: 1"},
        FormatRow{"CapacityMinusOne", 39, BoundedResult::Ok, "artifacts before: 3 artifacts after: 1"},
        FormatRow{"Capacity", 38, BoundedResult::InsufficientBuffer, "artifacts before: 3 artifacts after: "},
        FormatRow{"CapacityPlusOne", 37, BoundedResult::InsufficientBuffer, "artifacts before: 3 artifacts after:"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace turnpike
