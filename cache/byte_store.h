// ByteStore: byte values under byte keys, each with a lifetime, in a store
// that several processes or machines share (Apache's shared object cache,
// memcached, Redis, nginx's shared zone).
//
// It only moves bytes. SharedSignOnStore, on top of it, chooses the keys and
// the values, judges expiry with the filter's clock and reports the events;
// an implementation adapts one provider's calls and nothing else, so every
// host shares one behaviour.
//
// What callers may rely on, for every implementation:
//   - Keys and values are bytes, compared byte for byte. Keys are short (a
//     20-byte digest); values are at most kMaxEncodedSignOnSize bytes, and
//     Get fails on a longer one rather than cut it.
//   - Put keeps the value, replacing whatever the key held, for at most
//     about `lifetime` (always two seconds or more: no provider may take it
//     as already past). A provider that cannot keep a value that long caps
//     the lifetime at its own limit (memcached: 30 days). The store may also
//     forget a value earlier, to make room; the caller treats that as an
//     unknown key.
//   - Ok: done (Get: `value` holds the bytes). NotFound: Get or Remove found
//     no value under the key. Failed: the provider could not be asked or
//     refused; LockFailed: the lock that keeps a provider unfit for
//     concurrent use to one caller at a time could not be taken. With
//     either, `failure` holds the text for the event, naming the provider
//     and its status, e.g. "memcache: Connection refused (status 111)".
//     Nothing else is written to `value` or `failure`.
//   - No exception leaves an operation; each may run on any number of
//     threads (and processes) at once.
//
// What it does not do: no expiry judgement (a value past its lifetime that
// the provider still returns is returned), no retries, no events.
#pragma once

#include <chrono>
#include <string>
#include <string_view>

namespace turnpike {

enum class ByteStoreStatus {
  Ok,
  NotFound,
  Failed,
  LockFailed,
};

class ByteStore {
 public:
  virtual ~ByteStore();

  virtual ByteStoreStatus Put(std::string_view key, std::string_view value, std::chrono::milliseconds lifetime,
                              std::string& failure) noexcept = 0;
  virtual ByteStoreStatus Get(std::string_view key, std::string& value, std::string& failure) noexcept = 0;
  virtual ByteStoreStatus Remove(std::string_view key, std::string& failure) noexcept = 0;

 protected:
  ByteStore() = default;
  ByteStore(const ByteStore&) = default;
  ByteStore& operator=(const ByteStore&) = default;
};

}  // namespace turnpike
