#include "transport/chunk_storage.h"

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>

#include "transport/backoff.h"
#include "spindrel/transport/log_sink.h"
#include "transport/shm.h"

namespace ipc {
namespace {

constexpr const char* source = "src/transport/chunk_storage";

constexpr std::uint32_t writer_bit = 0x8000'0000u;
// Another process may die holding a pool's lock (or hold it on purpose): past this, a sender gives up
// the chunk and sends in fragments instead of hanging.
constexpr std::chrono::milliseconds pool_lock_limit{200};
constexpr std::chrono::milliseconds exit_settle_limit{500};

template <typename T>
std::atomic_ref<T> shared(T& word) {
  return std::atomic_ref<T>(word);
}

struct pool {
  shm::handle mapping{true};  // pools live in the Global namespace, whatever the channel's
  // Chunks this process filled whose receivers may not have released them yet, by id.
  std::atomic<std::uint32_t> outstanding{0};
};

// The process-wide table of pools. Entries are never removed, so a pool pointer stays valid; the
// table itself is never destroyed (its mappings go with the process), so that a thread still sending
// while the process exits never meets a dead table.
struct pool_table {
  std::map<std::uint64_t, std::unique_ptr<pool>> pools;
  std::atomic<std::uint32_t> lock{0};  // bits 0-30 readers, bit 31 a writer

  void lock_shared() {
    for (std::uint32_t k = 0;;) {
      std::uint32_t now = lock.load();
      if ((now & writer_bit) != 0) {
        backoff(k);
        continue;
      }
      if (lock.compare_exchange_weak(now, now + 1)) return;
    }
  }
  void unlock_shared() { lock.fetch_sub(1); }
  void lock_exclusive() {
    for (std::uint32_t k = 0;;) {
      const std::uint32_t before = lock.fetch_or(writer_bit);
      if ((before & writer_bit) == 0) break;
      backoff(k);
    }
    for (std::uint32_t k = 0; (lock.load() & ~writer_bit) != 0;) backoff(k);
  }
  void unlock_exclusive() { lock.store(0); }
};

void settle_at_exit() { settle_sent_storage(exit_settle_limit); }

pool_table& table() {
  static pool_table* const instance = [] {
    auto* made = new pool_table;
    std::atexit(settle_at_exit);
    return made;
  }();
  return *instance;
}

// The pool of chunk size c with its mapping, or null. Only a sender creates a pool: the size a receiver
// asks for comes from a queue slot anyone may have written, and a pool made for it would be up to 4 GiB
// of zeros that nobody fills, held until the process ends.
pool* find_pool(std::uint64_t c, bool create) {
  pool_table& t = table();
  t.lock_shared();
  const auto found = t.pools.find(c);
  pool* known = found != t.pools.end() && found->second->mapping.valid() ? found->second.get() : nullptr;
  t.unlock_shared();
  if (known != nullptr) return known;

  t.lock_exclusive();
  pool* result = nullptr;
  if (const auto entry = t.pools.find(c); entry != t.pools.end() && entry->second->mapping.valid()) {
    result = entry->second.get();
  } else {
    const std::uint64_t size = layout::chunk_info_size(c);
    const std::string name = layout::chunk_info_name(c);
    // The mapping's size is a 32-bit quantity on the wire (and at the system call); and a mapping made
    // smaller than its layout by someone else must not be indexed. A size that fails gets no entry, so
    // forged sizes do not grow the table.
    shm::handle mapping(true);
    const bool fits = size <= 0xFFFF'FFFFu && (create ? mapping.acquire(name, size) : mapping.open_existing(name)) &&
                      mapping.size() >= size;
    if (fits) {
      std::unique_ptr<pool>& made = t.pools[c];
      if (!made) made = std::make_unique<pool>();
      made->mapping = std::move(mapping);
      result = made.get();
    } else {
      log_sink(log_level_failure, source, __LINE__, "[chunk_storages] chunk_shm.id_info_.acquire failed: chunk_size = %zd\n",
               static_cast<std::ptrdiff_t>(c));
    }
  }
  t.unlock_exclusive();
  return result;
}

layout::chunk_info& info_of(pool& p) { return *static_cast<layout::chunk_info*>(p.mapping.get()); }

layout::chunk_header& chunk_at(pool& p, std::uint64_t c, std::int32_t id) {
  auto* base = static_cast<std::byte*>(p.mapping.get());
  return *reinterpret_cast<layout::chunk_header*>(base + sizeof(layout::chunk_info) + static_cast<std::uint64_t>(id) * c);
}

bool lock_pool(layout::chunk_info& info) {
  const auto deadline = std::chrono::steady_clock::now() + pool_lock_limit;
  for (std::uint32_t k = 0; shared(info.lock).exchange(1) != 0;) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    backoff(k);
  }
  return true;
}

void unlock_pool(layout::chunk_info& info) { shared(info.lock).store(0); }

void push_free(layout::chunk_info& info, std::int32_t id) {
  if (!lock_pool(info)) return;  // the chunk stays out of the pool; better than a hang
  shared(info.next[id]).store(shared(info.cursor).load());
  shared(info.cursor).store(static_cast<std::uint8_t>(id));
  unlock_pool(info);
}

bool free_list_valid(layout::chunk_info& info) {
  std::uint8_t at = shared(info.cursor).load();
  if (at == layout::chunk_count) return true;
  if (at > layout::chunk_count) return false;
  for (int step = 0; step < layout::chunk_count + 1; ++step) {
    const std::uint8_t next = shared(info.next[at]).load();
    if (next == layout::chunk_count) return true;
    if (next > layout::chunk_count || next == at) return false;
    at = next;
  }
  return false;
}

std::int32_t checked_id(std::int32_t id) { return id >= 0 && id < layout::chunk_count ? id : -1; }

std::int32_t size_of_slot(const layout::message& m) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(m.remain) + layout::slot_payload);
}

}  // namespace

layout::chunk_info* chunk_storages(std::uint64_t chunk_size) {
  pool* p = find_pool(chunk_size, true);
  return p != nullptr ? &info_of(*p) : nullptr;
}

namespace id_pool {

void prepare(layout::chunk_info& info) {
  const bool was_prepared = shared(info.prepared).load() == 1;
  if (was_prepared && free_list_valid(info)) return;
  for (std::uint8_t j = 0; j < layout::chunk_count; ++j) shared(info.next[j]).store(static_cast<std::uint8_t>(j + 1));
  if (was_prepared) {
    log_sink(log_level_recovery, source, __LINE__, "[id_pool::prepare] invalid free-list detected, rebuild pool.");
  }
  // A cursor past the end would leave the pool broken for good: start the rebuilt list at 0.
  if (shared(info.cursor).load() > layout::chunk_count) shared(info.cursor).store(0);
  shared(info.prepared).store(1);
}

}  // namespace id_pool

storage_chunk allocate_storage(std::uint64_t size, std::uint32_t mask) {
  const std::uint64_t c = layout::chunk_size_for(size);
  pool* p = find_pool(c, true);
  if (p == nullptr) return {};
  layout::chunk_info& info = info_of(*p);
  if (!lock_pool(info)) return {};
  id_pool::prepare(info);
  std::int32_t id = -1;
  const std::uint8_t cursor = shared(info.cursor).load();
  if (cursor < layout::chunk_count) {
    std::uint8_t next = shared(info.next[cursor]).load();
    if (next > layout::chunk_count) next = layout::chunk_count;
    shared(info.cursor).store(next);
    id = cursor;
  }
  unlock_pool(info);
  if (id < 0) return {};
  layout::chunk_header& chunk = chunk_at(*p, c, id);
  shared(chunk.conns).store(mask);
  p->outstanding.fetch_or(1u << id);
  return {id, reinterpret_cast<std::byte*>(&chunk) + sizeof(layout::chunk_header)};
}

void cancel_storage(std::int32_t id, std::uint64_t size) {
  if (checked_id(id) < 0) return;
  const std::uint64_t c = layout::chunk_size_for(size);
  pool* p = find_pool(c, false);
  if (p == nullptr) return;
  shared(chunk_at(*p, c, id).conns).store(0);
  p->outstanding.fetch_and(~(1u << id));
  push_free(info_of(*p), id);
}

void* find_storage(std::int32_t id, std::uint64_t size) {
  if (checked_id(id) < 0) {
    log_sink(log_level_failure, source, __LINE__, "[find_storage] id is invalid: id = %ld, size = %zd\n",
             static_cast<long>(id), static_cast<std::ptrdiff_t>(size));
    return nullptr;
  }
  const std::uint64_t c = layout::chunk_size_for(size);
  pool* p = find_pool(c, false);
  if (p == nullptr) return nullptr;
  return reinterpret_cast<std::byte*>(&chunk_at(*p, c, id)) + sizeof(layout::chunk_header);
}

void recycle_storage(std::int32_t id, std::uint64_t size, std::uint32_t mask, std::uint32_t bit) {
  if (checked_id(id) < 0) {
    log_sink(log_level_failure, source, __LINE__, "[recycle_storage] id is invalid: id = %ld, size = %zd\n",
             static_cast<long>(id), static_cast<std::ptrdiff_t>(size));
    return;
  }
  const std::uint64_t c = layout::chunk_size_for(size);
  pool* p = find_pool(c, false);
  if (p == nullptr) return;
  auto conns = shared(chunk_at(*p, c, id).conns);
  std::uint32_t old = conns.load();
  for (std::uint32_t k = 0; !conns.compare_exchange_strong(old, old & mask & ~bit);) backoff(k);
  // Only the release that empties the mask returns the chunk: a second return would put the id on the
  // free list twice and hand one chunk to two messages.
  if (old != 0 && (old & mask & ~bit) == 0) push_free(info_of(*p), id);
}

void release_storage(std::int32_t id, std::uint64_t size, std::uint32_t keep) {
  if (checked_id(id) < 0) return;
  const std::uint64_t c = layout::chunk_size_for(size);
  pool* p = find_pool(c, false);
  if (p == nullptr) return;
  auto conns = shared(chunk_at(*p, c, id).conns);
  std::uint32_t old = conns.load();
  for (std::uint32_t k = 0; !conns.compare_exchange_strong(old, old & keep);) backoff(k);
  if (old != 0 && (old & keep) == 0) push_free(info_of(*p), id);
}

bool clear_message(layout::queue& q, const layout::message& old) {
  layout::message m;
  std::memcpy(&m, &old, sizeof(m));
  if (m.is_storage == 0) return true;
  const std::int32_t r_size = size_of_slot(m);
  if (r_size <= 0) {
    log_sink(log_level_failure, source, __LINE__, "[clear_message] invalid msg size: %d\n", r_size);
    return true;
  }
  std::int32_t id = 0;
  std::memcpy(&id, m.data, sizeof(id));
  if (checked_id(id) < 0) {
    log_sink(log_level_failure, source, __LINE__, "[release_storage] id is invalid: id = %ld, size = %zd\n",
             static_cast<long>(id), static_cast<std::ptrdiff_t>(r_size));
    return true;
  }
  // Receivers still connected may hold the message in hand; only those gone (evicted just now, or
  // disconnected) are dropped from it.
  release_storage(id, static_cast<std::uint64_t>(r_size), std::atomic_ref<std::uint32_t>(q.connections).load());
  return true;
}

bool settle_sent_storage(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  pool_table& t = table();
  for (std::uint32_t k = 0;;) {
    bool waiting = false;
    t.lock_shared();
    for (auto& [c, p] : t.pools) {
      std::uint32_t ids = p->outstanding.load();
      if (ids == 0 || !p->mapping.valid()) continue;
      for (std::int32_t id = 0; id < layout::chunk_count; ++id) {
        if ((ids & (1u << id)) == 0) continue;
        if (shared(chunk_at(*p, c, id).conns).load() == 0) {
          p->outstanding.fetch_and(~(1u << id));
        } else {
          waiting = true;
        }
      }
    }
    t.unlock_shared();
    if (!waiting) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    k = k < 32 ? 32 : k;  // poll once a millisecond
    backoff(k);
  }
}

}  // namespace ipc
