// FakeByteStore: a ByteStore in a map, which forgets nothing by itself (so
// that expiry is seen to be judged by its caller) and fails when told to.
// Tests set `failure` and read the rest while no operation runs.
#pragma once

#include <chrono>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "cache/byte_store.h"

namespace turnpike {

class FakeByteStore final : public ByteStore {
 public:
  enum class Operation { Put, Get, Remove };
  struct Entry {
    std::string value;
    std::chrono::milliseconds lifetime;
  };
  struct Failure {
    Operation operation;
    ByteStoreStatus status;
  };
  static constexpr const char* kFailureText = "memcache: Connection refused (status 111)";

  ByteStoreStatus Put(std::string_view key, std::string_view value, std::chrono::milliseconds lifetime,
                      std::string& failure_text) noexcept override {
    std::lock_guard lock(mutex_);
    if (Fails(Operation::Put, failure_text)) return failure->status;
    entries[std::string(key)] = Entry{std::string(value), lifetime};
    return ByteStoreStatus::Ok;
  }
  ByteStoreStatus Get(std::string_view key, std::string& value, std::string& failure_text) noexcept override {
    std::lock_guard lock(mutex_);
    ++gets;
    if (Fails(Operation::Get, failure_text)) return failure->status;
    const auto found = entries.find(std::string(key));
    if (found == entries.end()) return ByteStoreStatus::NotFound;
    value = found->second.value;
    return ByteStoreStatus::Ok;
  }
  ByteStoreStatus Remove(std::string_view key, std::string& failure_text) noexcept override {
    std::lock_guard lock(mutex_);
    if (Fails(Operation::Remove, failure_text)) return failure->status;
    return entries.erase(std::string(key)) != 0 ? ByteStoreStatus::Ok : ByteStoreStatus::NotFound;
  }

  std::optional<Failure> failure;
  std::map<std::string, Entry> entries;
  int gets = 0;

 private:
  bool Fails(Operation operation, std::string& failure_text) {
    if (!failure || failure->operation != operation) return false;
    failure_text = kFailureText;
    return true;
  }

  std::mutex mutex_;
};

}  // namespace turnpike
