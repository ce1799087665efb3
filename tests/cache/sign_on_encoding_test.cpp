#include "cache/sign_on_encoding.h"

#include <gtest/gtest.h>

#include <string>

namespace turnpike {
namespace {

using namespace std::string_literals;

const SignOn kWithAttributes{
    "alice",
    {{"mail", {"alice@example.org"}}, {"memberOf", {"staff", "", "a\0b"s}}, {"empty", {}}},
    "",
    0x0102030405060708};

// The exact bytes, so that an entry written by another release, process or
// machine is read alike.
const std::string kVersion1Bytes = "\x01\x08\x07\x06\x05\x04\x03\x02\x01" "alice"s;
const std::string kVersion2Bytes =
    "\x02\x08\x07\x06\x05\x04\x03\x02\x01"
    "\x05\0\0\0alice"
    "\x01\0\0\0"
    "\x04\0\0\0mail" "\x02\0\0\0" "\x01\0\0\0x" "\0\0\0\0"s;

TEST(SignOnEncoding, ExactBytesOfBothVersions) {
  EXPECT_EQ(EncodeSignOn({"alice", {}, "ST-1", 0x0102030405060708}), kVersion1Bytes)
      << "a sign-on without attributes is written as earlier releases wrote it, without its ticket";
  EXPECT_EQ(DecodeSignOn(kVersion1Bytes), (SignOn{"alice", {}, "", 0x0102030405060708}));
  const SignOn two_values{"alice", {{"mail", {"x", ""}}}, "", 0x0102030405060708};
  EXPECT_EQ(EncodeSignOn(two_values), kVersion2Bytes);
  EXPECT_EQ(DecodeSignOn(kVersion2Bytes), two_values);
}

TEST(SignOnEncoding, RoundTrips) {
  const SignOn rows[] = {
      {"", {}, "", 0},
      {std::string(kMaxStoredUserLength, 'u'), {}, "", ~std::uint64_t{0}},
      {"b\xc3\xa9" "a\0t"s, {}, "", 1},
      kWithAttributes,
      {"", {{"", {""}}}, "", 2},
  };
  for (const SignOn& row : rows) {
    const std::optional<std::string> value = EncodeSignOn(row);
    ASSERT_TRUE(value) << row.user;
    EXPECT_EQ(DecodeSignOn(*value), row) << row.user;
  }
}

TEST(SignOnEncoding, RefusesWhatItCannotHoldAtItsLimits) {
  // user "u", one attribute "n" with one value: 31 bytes beside the value.
  const auto with_value_of = [](std::size_t size) {
    return SignOn{"u", {{"n", {std::string(size, 'v')}}}, "", 0};
  };
  const std::optional<std::string> largest = EncodeSignOn(with_value_of(kMaxEncodedSignOnSize - 31));
  ASSERT_TRUE(largest);
  EXPECT_EQ(largest->size(), kMaxEncodedSignOnSize);
  EXPECT_TRUE(DecodeSignOn(*largest));
  EXPECT_FALSE(EncodeSignOn(with_value_of(kMaxEncodedSignOnSize - 30)));
  EXPECT_FALSE(EncodeSignOn({std::string(kMaxStoredUserLength + 1, 'u'), {}, "", 0}));
  EXPECT_FALSE(EncodeSignOn({std::string(kMaxStoredUserLength + 1, 'u'), {{"n", {}}}, "", 0}));
  EXPECT_FALSE(DecodeSignOn(*largest + "v")) << "longer than any value";
  EXPECT_FALSE(DecodeSignOn("\x01\0\0\0\0\0\0\0\0"s + std::string(kMaxStoredUserLength + 1, 'u')));
}

TEST(SignOnEncoding, RefusesWhatNoEncoderWrote) {
  const std::string full = *EncodeSignOn(kWithAttributes);
  for (std::size_t size = 0; size < full.size(); ++size) {
    EXPECT_FALSE(DecodeSignOn(full.substr(0, size))) << "cut at " << size;
  }
  for (std::size_t size = 0; size < 9; ++size) {
    EXPECT_FALSE(DecodeSignOn(kVersion1Bytes.substr(0, size))) << "version 1 cut at " << size;
  }
  const std::string refused[] = {
      full + "x",                                                  // bytes after the last field
      "\0"s + full.substr(1), "\x03"s + full.substr(1), "\xff"s + full.substr(1),  // unknown versions
      "\x02\0\0\0\0\0\0\0\0" "\0\0\0\0" "\xff\xff\xff\xff"s,     // more attributes than bytes
      "\x02\0\0\0\0\0\0\0\0" "\0\0\0\0" "\x01\0\0\0" "\0\0\0\0" "\xff\xff\xff\xff"s,  // more values
      "\x02\0\0\0\0\0\0\0\0" "\xff\xff\xff\xff" "alice"s,          // a length beyond the value
  };
  for (const std::string& value : refused) EXPECT_FALSE(DecodeSignOn(value)) << testing::PrintToString(value);
}

}  // namespace
}  // namespace turnpike
