#include "hosts/nginx/zone_byte_store.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>

#include "cache/sign_on_encoding.h"

namespace turnpike {
namespace {

// One entry in the zone. The tree node comes first: nginx's tree hands back
// node pointers.
struct ZoneEntry {
  ngx_rbtree_node_t node;  // node.key: the key's first bytes
  ngx_queue_t queue;
  std::uint64_t expires;   // milliseconds since the epoch
  std::uint32_t key_size;
  std::uint32_t value_size;
  u_char bytes[1];         // the key, then the value
};

struct ZoneShared {
  ngx_rbtree_t tree;
  ngx_rbtree_node_t sentinel;
  ngx_queue_t queue;  // newest at the head
};

// How many expired entries one Put frees at most, so that a Put stays short
// however many expired together.
constexpr int kExpiredFreedPerPut = 2;

ZoneEntry* EntryOf(ngx_rbtree_node_t* node) noexcept { return reinterpret_cast<ZoneEntry*>(node); }

ngx_rbtree_key_t TreeKeyOf(std::string_view key) noexcept {
  ngx_rbtree_key_t value = 0;
  std::memcpy(&value, key.data(), key.size() < sizeof value ? key.size() : sizeof value);
  return value;
}

int Compare(std::string_view key, const ZoneEntry& entry) noexcept {
  if (key.size() != entry.key_size) return key.size() < entry.key_size ? -1 : 1;
  return std::memcmp(key.data(), entry.bytes, key.size());
}

void InsertEntry(ngx_rbtree_node_t* temp, ngx_rbtree_node_t* node, ngx_rbtree_node_t* sentinel) {
  for (;;) {
    ngx_rbtree_node_t** next;
    if (node->key != temp->key) {
      next = node->key < temp->key ? &temp->left : &temp->right;
    } else {
      const ZoneEntry& entry = *EntryOf(node);
      const std::string_view key(reinterpret_cast<const char*>(entry.bytes), entry.key_size);
      next = Compare(key, *EntryOf(temp)) < 0 ? &temp->left : &temp->right;
    }
    if (*next == sentinel) {
      *next = node;
      break;
    }
    temp = *next;
  }
  node->parent = temp;
  node->left = sentinel;
  node->right = sentinel;
  ngx_rbt_red(node);
}

std::uint64_t NowMilliseconds() noexcept {
  const ngx_time_t* now = ngx_timeofday();
  return static_cast<std::uint64_t>(now->sec) * 1000 + now->msec;
}

// The zone's state, with its mutex held for the holder's lifetime.
class ZoneLock {
 public:
  explicit ZoneLock(ngx_shm_zone_t* zone) noexcept
      : pool_(static_cast<ngx_slab_pool_t*>(static_cast<void*>(zone->shm.addr))),
        shared_(static_cast<ZoneShared*>(zone->data)) {
    if (shared_ != nullptr) ngx_shmtx_lock(&pool_->mutex);
  }
  ~ZoneLock() {
    if (shared_ != nullptr) ngx_shmtx_unlock(&pool_->mutex);
  }
  ZoneLock(const ZoneLock&) = delete;
  ZoneLock& operator=(const ZoneLock&) = delete;

  bool ready() const noexcept { return shared_ != nullptr; }

  ZoneEntry* Find(std::string_view key) noexcept {
    const ngx_rbtree_key_t hash = TreeKeyOf(key);
    ngx_rbtree_node_t* node = shared_->tree.root;
    ngx_rbtree_node_t* sentinel = shared_->tree.sentinel;
    while (node != sentinel) {
      if (hash != node->key) {
        node = hash < node->key ? node->left : node->right;
        continue;
      }
      const int order = Compare(key, *EntryOf(node));
      if (order == 0) return EntryOf(node);
      node = order < 0 ? node->left : node->right;
    }
    return nullptr;
  }

  void Free(ZoneEntry* entry) noexcept {
    ngx_queue_remove(&entry->queue);
    ngx_rbtree_delete(&shared_->tree, &entry->node);
    ngx_slab_free_locked(pool_, entry);
  }

  // The oldest entry, when there is one.
  ZoneEntry* Oldest() noexcept {
    if (ngx_queue_empty(&shared_->queue)) return nullptr;
    ngx_queue_t* last = ngx_queue_last(&shared_->queue);
    return reinterpret_cast<ZoneEntry*>(reinterpret_cast<u_char*>(last) - offsetof(ZoneEntry, queue));
  }

  void FreeExpired(std::uint64_t now) noexcept {
    for (int i = 0; i < kExpiredFreedPerPut; ++i) {
      ZoneEntry* oldest = Oldest();
      if (oldest == nullptr || oldest->expires > now) return;
      Free(oldest);
    }
  }

  // Memory for an entry of `size` bytes, dropping the oldest entries while
  // the zone is full; null when even an empty zone has no room.
  ZoneEntry* Allocate(std::size_t size) noexcept {
    for (;;) {
      if (void* memory = ngx_slab_alloc_locked(pool_, size)) return static_cast<ZoneEntry*>(memory);
      ZoneEntry* oldest = Oldest();
      if (oldest == nullptr) return nullptr;
      Free(oldest);
    }
  }

  void Insert(ZoneEntry* entry) noexcept {
    ngx_rbtree_insert(&shared_->tree, &entry->node);
    ngx_queue_insert_head(&shared_->queue, &entry->queue);
  }

 private:
  ngx_slab_pool_t* pool_;
  ZoneShared* shared_;
};

}  // namespace

ngx_int_t ZoneByteStore::InitZone(ngx_shm_zone_t* zone, void* old_data) noexcept {
  if (old_data != nullptr) {
    zone->data = old_data;
    return NGX_OK;
  }
  auto* pool = static_cast<ngx_slab_pool_t*>(static_cast<void*>(zone->shm.addr));
  auto* shared = static_cast<ZoneShared*>(ngx_slab_alloc(pool, sizeof(ZoneShared)));
  if (shared == nullptr) return NGX_ERROR;
  ngx_rbtree_init(&shared->tree, &shared->sentinel, InsertEntry);
  ngx_queue_init(&shared->queue);
  // A full zone is expected (the oldest sign-ons make room): no "no memory"
  // line in the error log for every Put that drops one.
  pool->log_nomem = 0;
  static constexpr char kContext[] = " in turnpike zone \"";
  const std::size_t length = sizeof kContext - 1 + zone->shm.name.len + 2;
  pool->log_ctx = static_cast<u_char*>(ngx_slab_alloc(pool, length));
  if (pool->log_ctx != nullptr) {
    ngx_sprintf(pool->log_ctx, " in turnpike zone \"%V\"%Z", &zone->shm.name);
  }
  zone->data = shared;
  return NGX_OK;
}

ByteStoreStatus ZoneByteStore::Put(std::string_view key, std::string_view value,
                                   std::chrono::milliseconds lifetime, std::string& failure) noexcept {
  if (value.size() > kMaxEncodedSignOnSize) return Trouble("the sign-on is too large", failure);
  ZoneLock zone(zone_);
  if (!zone.ready()) return Trouble("the zone is not set up", failure);
  const std::uint64_t now = NowMilliseconds();
  if (ZoneEntry* old = zone.Find(key)) zone.Free(old);
  zone.FreeExpired(now);
  ZoneEntry* entry = zone.Allocate(offsetof(ZoneEntry, bytes) + key.size() + value.size());
  if (entry == nullptr) return Trouble("no room for a sign-on even in the empty zone", failure);
  entry->node.key = TreeKeyOf(key);
  entry->expires = now + static_cast<std::uint64_t>(lifetime.count() > 0 ? lifetime.count() : 0);
  entry->key_size = static_cast<std::uint32_t>(key.size());
  entry->value_size = static_cast<std::uint32_t>(value.size());
  std::memcpy(entry->bytes, key.data(), key.size());
  std::memcpy(entry->bytes + key.size(), value.data(), value.size());
  zone.Insert(entry);
  return ByteStoreStatus::Ok;
}

ByteStoreStatus ZoneByteStore::Get(std::string_view key, std::string& value, std::string& failure) noexcept {
  ZoneLock zone(zone_);
  if (!zone.ready()) return Trouble("the zone is not set up", failure);
  ZoneEntry* entry = zone.Find(key);
  if (entry == nullptr) return ByteStoreStatus::NotFound;
  if (entry->expires <= NowMilliseconds()) {
    zone.Free(entry);
    return ByteStoreStatus::NotFound;
  }
  try {
    value.assign(reinterpret_cast<const char*>(entry->bytes + entry->key_size), entry->value_size);
  } catch (const std::bad_alloc&) {
    return Trouble("out of memory", failure);
  }
  return ByteStoreStatus::Ok;
}

ByteStoreStatus ZoneByteStore::Remove(std::string_view key, std::string& failure) noexcept {
  ZoneLock zone(zone_);
  if (!zone.ready()) return Trouble("the zone is not set up", failure);
  ZoneEntry* entry = zone.Find(key);
  if (entry == nullptr) return ByteStoreStatus::NotFound;
  zone.Free(entry);
  return ByteStoreStatus::Ok;
}

ByteStoreStatus ZoneByteStore::Trouble(const char* what, std::string& failure) const noexcept {
  try {
    failure.assign("nginx zone ");
    failure.append(reinterpret_cast<const char*>(zone_->shm.name.data), zone_->shm.name.len);
    failure.append(": ");
    failure.append(what);
  } catch (const std::bad_alloc&) {
    // The event then goes without its detail; the failure itself is kept.
  }
  return ByteStoreStatus::Failed;
}

}  // namespace turnpike
