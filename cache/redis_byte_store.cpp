#include "cache/redis_byte_store.h"

#include <new>
#include <utility>

#include "cache/sign_on_encoding.h"

namespace turnpike {
namespace {

constexpr std::size_t kReceiveChunk = 4096;

Deadline DeadlineAfter(std::chrono::milliseconds span) { return std::chrono::steady_clock::now() + span; }

}  // namespace

RedisByteStore::RedisByteStore(RedisAddress address, std::optional<std::string> password,
                               StreamConnector& network)
    : address_(std::move(address)), password_(std::move(password)), network_(network) {}

RedisByteStore::~RedisByteStore() = default;

ByteStoreStatus RedisByteStore::Put(std::string_view key, std::string_view value,
                                    std::chrono::milliseconds lifetime, std::string& failure) noexcept {
  try {
    RespReply reply;
    const Outcome outcome =
        Run(EncodeRespCommand({"SET", key, value, "PX", std::to_string(lifetime.count())}), reply, failure);
    if (outcome != Outcome::Answered) return ByteStoreStatus::Failed;
    if (reply.type == RespType::SimpleString && reply.text == "OK") return ByteStoreStatus::Ok;
    return Failed(reply.type == RespType::Error ? std::string_view(reply.text) : "SET: unexpected answer",
                  failure);
  } catch (const std::bad_alloc&) {
    return Failed("out of memory", failure);
  }
}

ByteStoreStatus RedisByteStore::Get(std::string_view key, std::string& value, std::string& failure) noexcept {
  try {
    RespReply reply;
    if (Run(EncodeRespCommand({"GET", key}), reply, failure) != Outcome::Answered) {
      return ByteStoreStatus::Failed;
    }
    switch (reply.type) {
      case RespType::Bulk: value = std::move(reply.text); return ByteStoreStatus::Ok;
      case RespType::Null: return ByteStoreStatus::NotFound;
      case RespType::Error: return Failed(reply.text, failure);
      case RespType::SimpleString:
      case RespType::Integer: return Failed("GET: unexpected answer", failure);
    }
    return Failed("GET: unexpected answer", failure);
  } catch (const std::bad_alloc&) {
    return Failed("out of memory", failure);
  }
}

ByteStoreStatus RedisByteStore::Remove(std::string_view key, std::string& failure) noexcept {
  try {
    RespReply reply;
    if (Run(EncodeRespCommand({"DEL", key}), reply, failure) != Outcome::Answered) {
      return ByteStoreStatus::Failed;
    }
    if (reply.type == RespType::Integer) return reply.integer > 0 ? ByteStoreStatus::Ok : ByteStoreStatus::NotFound;
    return Failed(reply.type == RespType::Error ? std::string_view(reply.text) : "DEL: unexpected answer",
                  failure);
  } catch (const std::bad_alloc&) {
    return Failed("out of memory", failure);
  }
}

RedisCheck RedisByteStore::Check(std::string& failure) noexcept {
  try {
    Outcome outcome = Outcome::Answered;
    std::unique_ptr<StreamConnection> connection = Open(outcome, failure);
    if (!connection) return outcome == Outcome::ServerRefused ? RedisCheck::Refused : RedisCheck::Unreachable;
    // A server that wants a password and was given none says so only now.
    RespReply reply;
    outcome = Exchange(*connection, EncodeRespCommand({"PING"}), DeadlineAfter(kRedisCommandTimeout), reply,
                       failure);
    if (outcome != Outcome::Answered) return RedisCheck::Unreachable;
    if (reply.type == RespType::Error) {
      Failed("PING: " + reply.text, failure);
      return RedisCheck::Refused;
    }
    return RedisCheck::Ok;
  } catch (const std::bad_alloc&) {
    Failed("out of memory", failure);
    return RedisCheck::Unreachable;
  }
}

// One command on a kept connection, or a new one. A kept connection that
// fails at once was most likely closed by a restart of the server, as every
// other kept one then was: they all go, and the command runs once more on a
// new connection.
RedisByteStore::Outcome RedisByteStore::Run(const std::string& command, RespReply& reply, std::string& failure) {
  std::unique_ptr<StreamConnection> connection;
  {
    const std::lock_guard lock(idle_mutex_);
    if (!idle_.empty()) {
      connection = std::move(idle_.back());
      idle_.pop_back();
    }
  }
  if (connection) {
    const Deadline deadline = DeadlineAfter(kRedisCommandTimeout);
    if (Exchange(*connection, command, deadline, reply, failure) == Outcome::Answered) {
      Keep(std::move(connection));
      return Outcome::Answered;
    }
    connection.reset();
    // A server that let the command time out is hung, not restarted: asking
    // it again would only double the wait.
    const bool hung = std::chrono::steady_clock::now() >= deadline;
    std::vector<std::unique_ptr<StreamConnection>> stale;
    {
      const std::lock_guard lock(idle_mutex_);
      stale.swap(idle_);
    }
    if (hung) return Outcome::ConnectionFailed;
    failure.clear();
  }
  Outcome outcome = Outcome::Answered;
  connection = Open(outcome, failure);
  if (!connection) return outcome;
  outcome = Exchange(*connection, command, DeadlineAfter(kRedisCommandTimeout), reply, failure);
  if (outcome == Outcome::Answered) Keep(std::move(connection));
  return outcome;
}

// A new connection, logged in and on its database.
std::unique_ptr<StreamConnection> RedisByteStore::Open(Outcome& outcome, std::string& failure) {
  std::string why;
  std::unique_ptr<StreamConnection> connection =
      network_.Connect(address_.host, address_.port, DeadlineAfter(kRedisConnectTimeout), why);
  if (!connection) {
    outcome = Outcome::ConnectionFailed;
    Failed("could not connect: " + why, failure);
    return nullptr;
  }
  // The log-in counts as one command: AUTH and SELECT share its time.
  const Deadline deadline = DeadlineAfter(kRedisCommandTimeout);
  const auto step = [&](const char* name, const std::string& command) {
    RespReply reply;
    outcome = Exchange(*connection, command, deadline, reply, failure);
    if (outcome != Outcome::Answered) return false;
    if (reply.type == RespType::SimpleString && reply.text == "OK") return true;
    outcome = Outcome::ServerRefused;
    Failed(std::string(name) + ": " + (reply.type == RespType::Error ? reply.text : "unexpected answer"),
           failure);
    return false;
  };
  if (password_ && !step("AUTH", EncodeRespCommand({"AUTH", *password_}))) return nullptr;
  if (address_.database != 0 &&
      !step("SELECT", EncodeRespCommand({"SELECT", std::to_string(address_.database)}))) {
    return nullptr;
  }
  outcome = Outcome::Answered;
  return connection;
}

// Sends one command and reads its one reply. Anything but exactly one reply
// leaves the connection out of step with the server: it is then dropped.
RedisByteStore::Outcome RedisByteStore::Exchange(StreamConnection& connection, const std::string& command,
                                                 Deadline deadline, RespReply& reply, std::string& failure) {
  std::string why;
  if (!connection.Send(command, deadline, why)) {
    Failed(why, failure);
    return Outcome::ConnectionFailed;
  }
  std::string received;
  char chunk[kReceiveChunk];
  for (;;) {
    std::size_t used = 0;
    switch (ParseRespReply(received, kMaxEncodedSignOnSize, reply, used)) {
      case RespParse::Complete:
        if (used == received.size()) return Outcome::Answered;
        [[fallthrough]];
      case RespParse::Malformed:
        Failed("the answer is not one the sign-on store reads", failure);
        return Outcome::ConnectionFailed;
      case RespParse::Incomplete:
        break;
    }
    const std::size_t count = connection.Receive(chunk, sizeof chunk, deadline, why);
    if (count == 0) {
      Failed(why, failure);
      return Outcome::ConnectionFailed;
    }
    received.append(chunk, count);
  }
}

void RedisByteStore::Keep(std::unique_ptr<StreamConnection> connection) noexcept {
  try {
    const std::lock_guard lock(idle_mutex_);
    if (idle_.size() < kRedisIdleConnections) idle_.push_back(std::move(connection));
  } catch (...) {
    // Not kept: the connection closes here, and a later command opens one.
  }
}

ByteStoreStatus RedisByteStore::Failed(std::string_view what, std::string& failure) const noexcept {
  try {
    failure = address_.text;
    failure += ": ";
    failure += what;
  } catch (const std::bad_alloc&) {
    // The event then goes without its detail; the failure itself is kept.
  }
  return ByteStoreStatus::Failed;
}

}  // namespace turnpike
