// WinsockStreamConnector: StreamConnector over Winsock 2 (getaddrinfo,
// non-blocking connect, select), for the Redis sign-on store of
// Turnpike.dll. Winsock is started (WSAStartup) at the first connection,
// never inside DllMain, where the loader lock forbids it, and is left
// started for the life of the process. Sockets are not inheritable.
// Stateless otherwise: one connector serves every thread.
#pragma once

#include "platform/stream_socket.h"

namespace turnpike {

class WinsockStreamConnector final : public StreamConnector {
 public:
  std::unique_ptr<StreamConnection> Connect(const std::string& host, std::uint16_t port, Deadline deadline,
                                            std::string& failure) noexcept override;
};

}  // namespace turnpike
