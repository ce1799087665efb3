// FakeByteStore: a ByteStore in a map, which forgets nothing by itself (so
// that expiry is seen to be judged by its caller) and can be told to fail.
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
  struct Entry {
    std::string value;
    std::chrono::milliseconds lifetime;
  };
  enum class Operation { Put, Get, Remove };

  ByteStoreStatus Put(std::string_view key, std::string_view value, std::chrono::milliseconds lifetime,
                      std::string& failure) noexcept override {
    std::lock_guard lock(mutex_);
    if (Failing(Operation::Put, failure)) return *failure_;
    entries_[std::string(key)] = Entry{std::string(value), lifetime};
    return ByteStoreStatus::Ok;
  }
  ByteStoreStatus Get(std::string_view key, std::string& value, std::string& failure) noexcept override {
    std::lock_guard lock(mutex_);
    ++gets_;
    if (Failing(Operation::Get, failure)) return *failure_;
    const auto found = entries_.find(std::string(key));
    if (found == entries_.end()) return ByteStoreStatus::NotFound;
    value = found->second.value;
    return ByteStoreStatus::Ok;
  }
  ByteStoreStatus Remove(std::string_view key, std::string& failure) noexcept override {
    std::lock_guard lock(mutex_);
    if (Failing(Operation::Remove, failure)) return *failure_;
    return entries_.erase(std::string(key)) != 0 ? ByteStoreStatus::Ok : ByteStoreStatus::NotFound;
  }

  // From now on `operation` answers `status` with `text`.
  void Fail(Operation operation, ByteStoreStatus status, std::string text) {
    std::lock_guard lock(mutex_);
    failing_ = operation;
    failure_ = status;
    failure_text_ = std::move(text);
  }
  void Heal() {
    std::lock_guard lock(mutex_);
    failure_.reset();
  }

  std::map<std::string, Entry>& entries() { return entries_; }
  int gets() const { return gets_; }

 private:
  bool Failing(Operation operation, std::string& failure) {
    if (!failure_ || failing_ != operation) return false;
    failure = failure_text_;
    return true;
  }

  std::mutex mutex_;
  std::map<std::string, Entry> entries_;
  int gets_ = 0;
  Operation failing_ = Operation::Put;
  std::optional<ByteStoreStatus> failure_;
  std::string failure_text_;
};

}  // namespace turnpike
