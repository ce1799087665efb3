// PosixStreamConnector: StreamConnector over POSIX sockets (getaddrinfo,
// non-blocking connect, poll), for the Redis sign-on store under Apache and
// turnpike-try. Each connection is its own descriptor, closed with it and
// never inherited by a program the web server starts (close-on-exec).
// Sends never raise SIGPIPE. Stateless: one connector serves every thread.
#pragma once

#include "platform/stream_socket.h"

namespace turnpike {

class PosixStreamConnector final : public StreamConnector {
 public:
  std::unique_ptr<StreamConnection> Connect(const std::string& host, std::uint16_t port, Deadline deadline,
                                            std::string& failure) noexcept override;
};

}  // namespace turnpike
