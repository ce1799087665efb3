#include "platform/posix/posix_stream_socket.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <new>
#include <string>
#include <system_error>

namespace turnpike {
namespace {

void Describe(int error, std::string& failure) noexcept {
  try {
    failure = std::generic_category().message(error) + " (error " + std::to_string(error) + ")";
  } catch (...) {
    // The event then goes without the reason.
  }
}

void Say(const char* text, std::string& failure) noexcept {
  try {
    failure = text;
  } catch (...) {
    // As above.
  }
}

// Waits until `fd` is ready for `events` or the deadline passes: 1 ready,
// 0 timed out, -1 failed (errno).
int WaitFor(int fd, short events, Deadline deadline) noexcept {
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return 0;
    pollfd entry{fd, events, 0};
    const int ready = poll(&entry, 1, static_cast<int>(std::min<long long>(left.count() + 1, 60'000)));
    if (ready < 0 && errno == EINTR) continue;
    if (ready != 0) return ready;
  }
}

class PosixStreamConnection final : public StreamConnection {
 public:
  explicit PosixStreamConnection(int fd) noexcept : fd_(fd) {}
  ~PosixStreamConnection() override { close(fd_); }
  PosixStreamConnection(const PosixStreamConnection&) = delete;
  PosixStreamConnection& operator=(const PosixStreamConnection&) = delete;

  bool Send(std::string_view bytes, Deadline deadline, std::string& failure) noexcept override {
    while (!bytes.empty()) {
      const ssize_t sent = send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
      if (sent > 0) {
        bytes.remove_prefix(static_cast<std::size_t>(sent));
        continue;
      }
      if (sent < 0 && errno == EINTR) continue;
      if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
        Describe(errno, failure);
        return false;
      }
      const int ready = WaitFor(fd_, POLLOUT, deadline);
      if (ready == 0) {
        Say("timed out", failure);
        return false;
      }
      if (ready < 0) {
        Describe(errno, failure);
        return false;
      }
    }
    return true;
  }

  std::size_t Receive(char* buffer, std::size_t size, Deadline deadline, std::string& failure) noexcept override {
    for (;;) {
      const ssize_t count = recv(fd_, buffer, size, 0);
      if (count > 0) return static_cast<std::size_t>(count);
      if (count == 0) {
        Say("closed by the server", failure);
        return 0;
      }
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) {
        Describe(errno, failure);
        return 0;
      }
      const int ready = WaitFor(fd_, POLLIN, deadline);
      if (ready == 0) {
        Say("timed out", failure);
        return 0;
      }
      if (ready < 0) {
        Describe(errno, failure);
        return 0;
      }
    }
  }

 private:
  int fd_;
};

// Closes a descriptor unless it has been handed on.
struct Descriptor {
  int fd = -1;
  ~Descriptor() {
    if (fd >= 0) close(fd);
  }
};

}  // namespace

std::unique_ptr<StreamConnection> PosixStreamConnector::Connect(const std::string& host, std::uint16_t port,
                                                                Deadline deadline, std::string& failure) noexcept {
  try {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const int resolved = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
    if (resolved != 0) {
      failure = std::string("the name could not be resolved: ") + gai_strerror(resolved);
      return nullptr;
    }
    std::unique_ptr<addrinfo, void (*)(addrinfo*)> addresses(found, freeaddrinfo);
    Say("no address", failure);
    for (const addrinfo* address = found; address != nullptr; address = address->ai_next) {
      Descriptor socket_fd{socket(address->ai_family, address->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                                  address->ai_protocol)};
      if (socket_fd.fd < 0) {
        Describe(errno, failure);
        continue;
      }
      if (connect(socket_fd.fd, address->ai_addr, address->ai_addrlen) != 0) {
        if (errno != EINPROGRESS) {
          Describe(errno, failure);
          continue;
        }
        const int ready = WaitFor(socket_fd.fd, POLLOUT, deadline);
        if (ready <= 0) {
          if (ready == 0) {
            Say("timed out", failure);
          } else {
            Describe(errno, failure);
          }
          continue;
        }
        int error = 0;
        socklen_t length = sizeof error;
        if (getsockopt(socket_fd.fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) {
          Describe(error != 0 ? error : errno, failure);
          continue;
        }
      }
      // Commands are small and answered one at a time: no delay for Nagle.
      const int on = 1;
      setsockopt(socket_fd.fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
      auto connection = std::make_unique<PosixStreamConnection>(socket_fd.fd);
      socket_fd.fd = -1;
      failure.clear();
      return connection;
    }
    return nullptr;
  } catch (const std::bad_alloc&) {
    Say("out of memory", failure);
    return nullptr;
  }
}

}  // namespace turnpike
