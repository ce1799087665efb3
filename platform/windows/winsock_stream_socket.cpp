#include "platform/windows/winsock_stream_socket.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <memory>
#include <new>
#include <string>

namespace turnpike {
namespace {

void Describe(const char* what, int error, std::string& failure) noexcept {
  try {
    failure = std::string(what) + " (error " + std::to_string(error) + ")";
  } catch (...) {
    // The event then goes without the reason.
  }
}

// The name of the Winsock errors a store meets; others go by number.
const char* NameOf(int error) noexcept {
  switch (error) {
    case WSAECONNREFUSED: return "Connection refused";
    case WSAECONNRESET: return "Connection reset";
    case WSAECONNABORTED: return "Connection aborted";
    case WSAETIMEDOUT: return "Timed out";
    case WSAEHOSTUNREACH: return "Host unreachable";
    case WSAENETUNREACH: return "Network unreachable";
    case WSAEADDRNOTAVAIL: return "Address not available";
    default: return "Winsock error";
  }
}

void DescribeLast(std::string& failure) noexcept {
  const int error = WSAGetLastError();
  Describe(NameOf(error), error, failure);
}

void Say(const char* text, std::string& failure) noexcept {
  try {
    failure = text;
  } catch (...) {
    // As above.
  }
}

// Waits until `s` can be written (or has failed to connect) or read: 1
// ready, 0 timed out, -1 failed.
int WaitFor(SOCKET s, bool write, Deadline deadline) noexcept {
  const auto left =
      std::chrono::duration_cast<std::chrono::microseconds>(deadline - std::chrono::steady_clock::now());
  if (left.count() <= 0) return 0;
  fd_set ready;
  FD_ZERO(&ready);
  FD_SET(s, &ready);
  fd_set failed;
  FD_ZERO(&failed);
  FD_SET(s, &failed);
  timeval wait{static_cast<long>(left.count() / 1'000'000), static_cast<long>(left.count() % 1'000'000)};
  const int count = select(0, write ? nullptr : &ready, write ? &ready : nullptr, &failed, &wait);
  if (count == SOCKET_ERROR) return -1;
  return count == 0 ? 0 : 1;
}

class WinsockStreamConnection final : public StreamConnection {
 public:
  explicit WinsockStreamConnection(SOCKET s) noexcept : socket_(s) {}
  ~WinsockStreamConnection() override { closesocket(socket_); }
  WinsockStreamConnection(const WinsockStreamConnection&) = delete;
  WinsockStreamConnection& operator=(const WinsockStreamConnection&) = delete;

  bool Send(std::string_view bytes, Deadline deadline, std::string& failure) noexcept override {
    while (!bytes.empty()) {
      const int chunk = static_cast<int>(std::min<std::size_t>(bytes.size(), 1 << 20));
      const int sent = send(socket_, bytes.data(), chunk, 0);
      if (sent > 0) {
        bytes.remove_prefix(static_cast<std::size_t>(sent));
        continue;
      }
      if (WSAGetLastError() != WSAEWOULDBLOCK) {
        DescribeLast(failure);
        return false;
      }
      const int ready = WaitFor(socket_, true, deadline);
      if (ready <= 0) {
        if (ready == 0) Say("timed out", failure); else DescribeLast(failure);
        return false;
      }
    }
    return true;
  }

  std::size_t Receive(char* buffer, std::size_t size, Deadline deadline, std::string& failure) noexcept override {
    for (;;) {
      const int count = recv(socket_, buffer, static_cast<int>(std::min<std::size_t>(size, 1 << 20)), 0);
      if (count > 0) return static_cast<std::size_t>(count);
      if (count == 0) {
        Say("closed by the server", failure);
        return 0;
      }
      if (WSAGetLastError() != WSAEWOULDBLOCK) {
        DescribeLast(failure);
        return 0;
      }
      const int ready = WaitFor(socket_, false, deadline);
      if (ready <= 0) {
        if (ready == 0) Say("timed out", failure); else DescribeLast(failure);
        return 0;
      }
    }
  }

 private:
  SOCKET socket_;
};

// Closes a socket unless it has been handed on.
struct OwnedSocket {
  SOCKET s = INVALID_SOCKET;
  ~OwnedSocket() {
    if (s != INVALID_SOCKET) closesocket(s);
  }
};

bool StartWinsock(std::string& failure) noexcept {
  // Once per process, by the first thread to get here; the others wait.
  static const int started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data);
  }();
  if (started != 0) {
    Describe("Winsock could not be started", started, failure);
    return false;
  }
  return true;
}

}  // namespace

std::unique_ptr<StreamConnection> WinsockStreamConnector::Connect(const std::string& host, std::uint16_t port,
                                                                  Deadline deadline,
                                                                  std::string& failure) noexcept {
  try {
    if (!StartWinsock(failure)) return nullptr;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const int resolved = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
    if (resolved != 0) {
      Describe("the name could not be resolved", resolved, failure);
      return nullptr;
    }
    std::unique_ptr<addrinfo, void(WSAAPI*)(addrinfo*)> addresses(found, freeaddrinfo);
    Say("no address", failure);
    for (const addrinfo* address = found; address != nullptr; address = address->ai_next) {
      OwnedSocket owned{WSASocketW(address->ai_family, address->ai_socktype, address->ai_protocol, nullptr, 0,
                                   WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT)};
      if (owned.s == INVALID_SOCKET) {
        DescribeLast(failure);
        continue;
      }
      u_long non_blocking = 1;
      // FIONBIO is an unsigned command code that ioctlsocket takes as a long.
      if (ioctlsocket(owned.s, static_cast<long>(FIONBIO), &non_blocking) != 0) {
        DescribeLast(failure);
        continue;
      }
      if (connect(owned.s, address->ai_addr, static_cast<int>(address->ai_addrlen)) != 0) {
        if (WSAGetLastError() != WSAEWOULDBLOCK) {
          DescribeLast(failure);
          continue;
        }
        const int ready = WaitFor(owned.s, true, deadline);
        if (ready <= 0) {
          if (ready == 0) Say("timed out", failure); else DescribeLast(failure);
          continue;
        }
        int error = 0;
        int length = sizeof error;
        if (getsockopt(owned.s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) != 0 ||
            error != 0) {
          Describe(NameOf(error), error, failure);
          continue;
        }
      }
      // Commands are small and answered one at a time: no delay for Nagle.
      const BOOL on = TRUE;
      setsockopt(owned.s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
      auto connection = std::make_unique<WinsockStreamConnection>(owned.s);
      owned.s = INVALID_SOCKET;
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
