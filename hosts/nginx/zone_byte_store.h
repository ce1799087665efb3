// ZoneByteStore: the bytes of the shared sign-ons in an nginx shared-memory
// zone (`turnpike_zone NAME SIZE`), so that every worker process accepts a
// cookie that any one of them set. SharedSignOnStore decides what they mean;
// this store only keeps them.
//
// The zone holds a red-black tree of entries keyed by the 20-byte key, and a
// queue of the same entries, newest first. Memory comes from the zone's slab
// allocator; every operation holds the zone's mutex (shared by the worker
// processes) for the few steps of one call, and never blocks otherwise.
//
// What callers may rely on (the ByteStore contract):
//   - A lifetime becomes an absolute expiry in milliseconds of wall time
//     (nginx's cached time of day, which every worker reads alike). Get
//     answers NotFound for an entry past its expiry and frees it.
//   - A Put takes up to two expired entries off the queue's old end first;
//     when the zone is full it drops the oldest entries until the new one
//     fits. Sign-ons all live SessionTimeout minutes from their validation,
//     so the oldest entry is also the first to expire.
//   - Failed: the zone is not set up yet, or a value will not fit even in an
//     empty zone; the text names the zone: "nginx zone turnpike: ...".
//   - A reload of nginx with the same zone name and size keeps the entries.
//
// Threads: the event loop's of each worker; the zone's mutex orders the
// workers. Nothing is kept in process memory.
#pragma once

#include <chrono>
#include <string>
#include <string_view>

#include "cache/byte_store.h"
#include "hosts/nginx/nginx_headers.h"

namespace turnpike {

class ZoneByteStore final : public ByteStore {
 public:
  // `zone`: the shared-memory zone of this configuration, whose init
  // handler is InitZone. Borrowed; nginx keeps it for the cycle.
  explicit ZoneByteStore(ngx_shm_zone_t* zone) noexcept : zone_(zone) {}

  // The zone's init handler (ngx_shm_zone_t's `init`): sets up the tree and
  // queue in a new zone, or takes over the old one's on a reload.
  static ngx_int_t InitZone(ngx_shm_zone_t* zone, void* old_data) noexcept;

  ByteStoreStatus Put(std::string_view key, std::string_view value, std::chrono::milliseconds lifetime,
                      std::string& failure) noexcept override;
  ByteStoreStatus Get(std::string_view key, std::string& value, std::string& failure) noexcept override;
  ByteStoreStatus Remove(std::string_view key, std::string& failure) noexcept override;

 private:
  ByteStoreStatus Trouble(const char* what, std::string& failure) const noexcept;

  ngx_shm_zone_t* zone_;
};

}  // namespace turnpike
