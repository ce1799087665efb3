#include "platform/posix/system_random.h"

#include <sys/random.h>

#include <cerrno>

namespace turnpike {

bool SystemRandom::Fill(unsigned char* bytes, std::size_t count) noexcept {
  while (count > 0) {
    const ssize_t got = getrandom(bytes, count, 0);
    if (got < 0) {
      // A signal before anything was read: ask again.
      if (errno == EINTR) continue;
      return false;
    }
    bytes += got;
    count -= static_cast<std::size_t>(got);
  }
  return true;
}

}  // namespace turnpike
