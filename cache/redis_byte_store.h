// RedisByteStore: the bytes of the shared sign-ons in a Redis server, spoken
// to directly over the platform's sockets (RESP 2), for a host that has no
// Redis client of its own (IIS) or whose own cannot log in (Apache's
// mod_socache_redis sends no AUTH).
//
// What callers may rely on (the ByteStore contract):
//   - Put is SET key value PX lifetime, Get is GET, Remove is DEL, each on
//     the configured database: Redis forgets an entry when its lifetime
//     ends. A value longer than kMaxEncodedSignOnSize fails Get.
//   - Every connection is made within kRedisConnectTimeout, and logs in
//     (AUTH, when a password is set) and selects the database (SELECT, when
//     not 0) before its first command, within kRedisCommandTimeout for both;
//     every command, from its first byte sent to the last of its reply,
//     takes at most kRedisCommandTimeout. So an unreachable or hung server
//     holds an operation for at most the connect time-out and two command
//     time-outs.
//   - Idle connections are kept, at most kRedisIdleConnections, and taken
//     by one operation at a time. A kept connection that fails before its
//     time-out (the server restarted and closed it) is dropped with every
//     other kept one, and the command runs once more on a new connection:
//     SET, GET and DEL give the same result when repeated. A connection that
//     times out, fails otherwise or answers with something that is not RESP
//     is dropped, and the operation fails.
//   - A failure's text names the server as configured and what went wrong,
//     "redis://127.0.0.1:6379: could not connect: Connection refused (error
//     111)", or the server's own error line; never the password.
//
// Check runs the log-in once, on a connection of its own that it closes, so
// that a host can report a wrong password or database at start-up and fork
// afterwards without sharing a socket between processes.
//
// Ownership: the connector is borrowed and must outlive the store.
// Threads: every operation may run on any number of threads at once.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cache/byte_store.h"
#include "cache/resp.h"
#include "common/redis_address.h"
#include "platform/stream_socket.h"

namespace turnpike {

inline constexpr std::chrono::milliseconds kRedisConnectTimeout{1000};
inline constexpr std::chrono::milliseconds kRedisCommandTimeout{2000};
inline constexpr std::size_t kRedisIdleConnections = 16;

// What Check found.
enum class RedisCheck {
  Ok,
  Unreachable,  // no connection, or it failed: the server may come back
  Refused,      // the server refused the log-in or the database: a setting is wrong
};

class RedisByteStore final : public ByteStore {
 public:
  RedisByteStore(RedisAddress address, std::optional<std::string> password, StreamConnector& network);
  RedisByteStore(const RedisByteStore&) = delete;
  RedisByteStore& operator=(const RedisByteStore&) = delete;
  ~RedisByteStore() override;

  ByteStoreStatus Put(std::string_view key, std::string_view value, std::chrono::milliseconds lifetime,
                      std::string& failure) noexcept override;
  ByteStoreStatus Get(std::string_view key, std::string& value, std::string& failure) noexcept override;
  ByteStoreStatus Remove(std::string_view key, std::string& failure) noexcept override;

  RedisCheck Check(std::string& failure) noexcept;

 private:
  enum class Outcome { Answered, ConnectionFailed, ServerRefused };
  Outcome Run(const std::string& command, RespReply& reply, std::string& failure);
  std::unique_ptr<StreamConnection> Open(Outcome& outcome, std::string& failure);
  Outcome Exchange(StreamConnection& connection, const std::string& command, Deadline deadline,
                   RespReply& reply, std::string& failure);
  void Keep(std::unique_ptr<StreamConnection> connection) noexcept;
  ByteStoreStatus Failed(std::string_view what, std::string& failure) const noexcept;

  const RedisAddress address_;
  const std::optional<std::string> password_;
  StreamConnector& network_;
  std::mutex idle_mutex_;
  std::vector<std::unique_ptr<StreamConnection>> idle_;
};

}  // namespace turnpike
