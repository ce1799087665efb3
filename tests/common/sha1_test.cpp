#include "common/sha1.h"

#include <gtest/gtest.h>

#include <string>

namespace turnpike {
namespace {

std::string Hex(const Sha1Digest& digest) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (const std::uint8_t byte : digest) {
    hex += kDigits[byte >> 4];
    hex += kDigits[byte & 0xF];
  }
  return hex;
}

struct Row {
  const char* name;
  std::string input;
  const char* digest;
};

// The published vectors (FIPS 180-2, appendix A), and inputs whose length
// puts the padding's 1 bit and the 8-byte length at the edge of one block or
// pushes them into a second.
const Row kRows[] = {
    {"empty", "", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
    {"abc", "abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
    {"448 bits", "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
     "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
    {"a million a", std::string(1'000'000, 'a'), "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
    {"55 bytes: the length still fits", std::string(55, 'x'), "cef734ba81a024479e09eb5a75b6ddae62e6abf1"},
    {"56 bytes: the length needs a second block", std::string(56, 'x'),
     "901305367c259952f4e7af8323f480d59f81335b"},
    {"64 bytes: one whole block", std::string(64, 'x'), "bb2fa3ee7afb9f54c6dfb5d021f14b1ffe40c163"},
    {"120 bytes", std::string(120, 'x'), "ceb2821639c4b6dcb10bce0e522ca2e608ce056d"},
    {"bytes above 0x7F and a NUL", std::string("\x80\xff\x00" "x", 4), "962462a8792cf8b7e06d84dbe68f4671083a2914"},
};

TEST(Sha1, Vectors) {
  for (const Row& row : kRows) EXPECT_EQ(Hex(Sha1(row.input)), row.digest) << row.name;
}

}  // namespace
}  // namespace turnpike
