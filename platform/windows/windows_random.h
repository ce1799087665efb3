// WindowsRandom: the system's preferred generator through BCryptGenRandom.
#pragma once

#include "platform/random_source.h"

namespace turnpike {

class WindowsRandom final : public RandomSource {
 public:
  bool Fill(unsigned char* bytes, std::size_t count) noexcept override;
};

}  // namespace turnpike
