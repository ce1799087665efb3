// FakeRandom: a generator that counts (each call's bytes all hold the call's
// number), so that every value differs and a test can predict it, and that
// fails when told to.
#pragma once

#include <cstring>

#include "platform/random_source.h"

namespace turnpike {

class FakeRandom final : public RandomSource {
 public:
  bool Fill(unsigned char* bytes, std::size_t count) noexcept override {
    if (fail) return false;
    std::memset(bytes, ++calls, count);
    return true;
  }
  bool fail = false;
  unsigned char calls = 0;
};

}  // namespace turnpike
