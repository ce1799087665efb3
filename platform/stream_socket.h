// StreamConnector and StreamConnection: a TCP connection to a server that
// the filter talks to itself (a Redis server holding the sign-ons of a farm),
// through the platform's sockets (POSIX, Winsock).
//
// What callers may rely on:
//   - Every operation ends by its deadline, whatever the peer does: a server
//     that accepts and never answers, or an address that drops packets,
//     costs the caller that long and no longer. Name resolution is the
//     exception: it waits as long as the system's resolver does.
//   - On failure, `failure` holds a short text for an event ("Connection
//     refused (error 111)", "timed out", "closed by the server"); nothing
//     else is written to it. A connection that failed once is not used
//     again: the caller drops it.
//   - No exception leaves an operation.
//
// What it does not do: no TLS, no retries, no reconnection; a connection is
// used by one thread at a time.
//
// Threads: Connect may run on any number of threads at once.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace turnpike {

using Deadline = std::chrono::steady_clock::time_point;

class StreamConnection {
 public:
  virtual ~StreamConnection();

  // Sends every byte of `bytes`. False when it could not, by the deadline.
  virtual bool Send(std::string_view bytes, Deadline deadline, std::string& failure) noexcept = 0;

  // Receives what has arrived, at least one byte and at most `size`, waiting
  // for the first until the deadline. 0: nothing came (closed, failed or
  // timed out; `failure` says which).
  virtual std::size_t Receive(char* buffer, std::size_t size, Deadline deadline,
                              std::string& failure) noexcept = 0;

 protected:
  StreamConnection() = default;
  StreamConnection(const StreamConnection&) = default;
  StreamConnection& operator=(const StreamConnection&) = default;
};

class StreamConnector {
 public:
  virtual ~StreamConnector();

  // A connection to `host` (a name, an IPv4 address, or an IPv6 address
  // without brackets) and `port`, made by the deadline; null when none
  // could be.
  virtual std::unique_ptr<StreamConnection> Connect(const std::string& host, std::uint16_t port,
                                                    Deadline deadline, std::string& failure) noexcept = 0;

 protected:
  StreamConnector() = default;
  StreamConnector(const StreamConnector&) = default;
  StreamConnector& operator=(const StreamConnector&) = default;
};

}  // namespace turnpike
