#include "platform/windows/windows_random.h"

#include <windows.h>
#include <bcrypt.h>

#include <algorithm>
#include <climits>

namespace turnpike {

bool WindowsRandom::Fill(unsigned char* bytes, std::size_t count) noexcept {
  while (count > 0) {
    // BCryptGenRandom counts in ULONG.
    const ULONG chunk = static_cast<ULONG>(std::min<std::size_t>(count, ULONG_MAX));
    if (!BCRYPT_SUCCESS(BCryptGenRandom(nullptr, bytes, chunk, BCRYPT_USE_SYSTEM_PREFERRED_RNG))) return false;
    bytes += chunk;
    count -= chunk;
  }
  return true;
}

}  // namespace turnpike
