// SystemRandom: the Linux kernel's generator through getrandom(2), which
// waits only until the kernel's pool was first seeded at boot.
#pragma once

#include "platform/random_source.h"

namespace turnpike {

class SystemRandom final : public RandomSource {
 public:
  bool Fill(unsigned char* bytes, std::size_t count) noexcept override;
};

}  // namespace turnpike
