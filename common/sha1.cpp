#include "common/sha1.h"

#include <cstddef>

namespace turnpike {
namespace {

constexpr std::size_t kBlockSize = 64;

constexpr std::uint32_t RotateLeft(std::uint32_t value, int bits) noexcept {
  return (value << bits) | (value >> (32 - bits));
}

void Compress(std::array<std::uint32_t, 5>& state, const std::uint8_t* block) noexcept {
  std::uint32_t w[80];
  for (int i = 0; i < 16; ++i) {
    w[i] = std::uint32_t{block[4 * i]} << 24 | std::uint32_t{block[4 * i + 1]} << 16 |
           std::uint32_t{block[4 * i + 2]} << 8 | std::uint32_t{block[4 * i + 3]};
  }
  for (int i = 16; i < 80; ++i) w[i] = RotateLeft(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);

  std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3], e = state[4];
  for (int i = 0; i < 80; ++i) {
    std::uint32_t f, k;
    if (i < 20) {
      f = (b & c) | (~b & d);
      k = 0x5A827999;
    } else if (i < 40) {
      f = b ^ c ^ d;
      k = 0x6ED9EBA1;
    } else if (i < 60) {
      f = (b & c) | (b & d) | (c & d);
      k = 0x8F1BBCDC;
    } else {
      f = b ^ c ^ d;
      k = 0xCA62C1D6;
    }
    const std::uint32_t next = RotateLeft(a, 5) + f + e + k + w[i];
    e = d;
    d = c;
    c = RotateLeft(b, 30);
    b = a;
    a = next;
  }
  state[0] += a;
  state[1] += b;
  state[2] += c;
  state[3] += d;
  state[4] += e;
}

}  // namespace

Sha1Digest Sha1(std::string_view bytes) noexcept {
  std::array<std::uint32_t, 5> state{0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0};
  const auto* data = reinterpret_cast<const std::uint8_t*>(bytes.data());
  std::size_t left = bytes.size();
  for (; left >= kBlockSize; left -= kBlockSize, data += kBlockSize) Compress(state, data);

  // The last block(s): the rest, a 1 bit, zeros, and the length in bits as a
  // 64-bit big-endian number, which needs a second block when the rest
  // leaves fewer than 9 bytes free.
  std::uint8_t tail[2 * kBlockSize] = {};
  for (std::size_t i = 0; i < left; ++i) tail[i] = data[i];
  tail[left] = 0x80;
  const std::size_t tail_size = left + 9 <= kBlockSize ? kBlockSize : 2 * kBlockSize;
  const std::uint64_t bit_length = static_cast<std::uint64_t>(bytes.size()) * 8;
  for (std::size_t i = 0; i < 8; ++i) {
    tail[tail_size - 1 - i] = static_cast<std::uint8_t>(bit_length >> (8 * i));
  }
  for (std::size_t at = 0; at < tail_size; at += kBlockSize) Compress(state, tail + at);

  Sha1Digest digest;
  for (std::size_t i = 0; i < kSha1DigestSize; ++i) {
    digest[i] = static_cast<std::uint8_t>(state[i / 4] >> (24 - 8 * (i % 4)));
  }
  return digest;
}

}  // namespace turnpike
