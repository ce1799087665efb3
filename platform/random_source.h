// RandomSource: unpredictable bytes from the operating system's generator,
// for values a browser holds that nobody may guess (the opaque cookie).
//
// Implementations ask the system every time (getrandom on Linux,
// BCryptGenRandom on Windows) and keep no state of their own: nothing to
// seed, nothing a forked child shares with its parent. Callable from any
// thread at once.
#pragma once

#include <cstddef>

namespace turnpike {

class RandomSource {
 public:
  virtual ~RandomSource() = default;
  // Fills `bytes` whole; false when the system could not, and `bytes` must
  // then not be used.
  virtual bool Fill(unsigned char* bytes, std::size_t count) noexcept = 0;
};

}  // namespace turnpike
