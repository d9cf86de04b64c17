#include "transport/chunk_storage.h"

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "spindrel/transport/log_sink.h"
#include "transport/backoff.h"
#include "transport/shm.h"

namespace ipc {
namespace {

constexpr const char* source = "src/transport/chunk_storage";

// Another process may die holding a pool's lock (or hold it on purpose): past this, a sender gives up
// the chunk and sends in fragments instead of hanging.
constexpr std::chrono::milliseconds pool_lock_limit{200};
constexpr std::chrono::milliseconds exit_settle_limit{500};

using layout::shared;

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
  std::uint32_t lock_word = 0;
  spin_lock lock{lock_word};  // held by this process's threads only, never for long: no bound needed
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
  const std::lock_guard guard(t.lock);
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
      SPINDREL_LOG(log_level_failure, "[chunk_storages] chunk_shm.id_info_.acquire failed: chunk_size = %zd\n",
                   static_cast<std::ptrdiff_t>(c));
    }
  }
  return result;
}

layout::chunk_info& info_of(pool& p) { return *static_cast<layout::chunk_info*>(p.mapping.get()); }

layout::chunk_header& chunk_at(pool& p, std::uint64_t c, std::int32_t id) {
  auto* base = static_cast<std::byte*>(p.mapping.get());
  return *reinterpret_cast<layout::chunk_header*>(base + sizeof(layout::chunk_info) +
                                                  static_cast<std::uint64_t>(id) * c);
}

void push_free(layout::chunk_info& info, std::int32_t id) {
  spin_lock lock(info.lock);
  if (!lock.try_lock_for(pool_lock_limit)) return;  // the chunk stays out of the pool; better than a hang
  shared(info.next[id]).store(shared(info.cursor).load());
  shared(info.cursor).store(static_cast<std::uint8_t>(id));
  lock.unlock();
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

// Drops every receiver outside keep from chunk id of pool p; the release that leaves nobody returns
// the chunk to its pool. Only that one: a second return would put the id on the free list twice and
// hand one chunk to two messages.
void release_in(pool& p, std::uint64_t c, std::int32_t id, std::uint32_t keep) {
  auto conns = shared(chunk_at(p, c, id).conns);
  std::uint32_t old = conns.load();
  for (std::uint32_t k = 0; !conns.compare_exchange_strong(old, old & keep);) backoff(k);
  if (old != 0 && (old & keep) == 0) push_free(info_of(p), id);
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
    SPINDREL_LOG(log_level_recovery, "[id_pool::prepare] invalid free-list detected, rebuild pool.");
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
  spin_lock lock(info.lock);
  if (!lock.try_lock_for(pool_lock_limit)) return {};
  id_pool::prepare(info);
  std::int32_t id = -1;
  const std::uint8_t cursor = shared(info.cursor).load();
  if (cursor < layout::chunk_count) {
    std::uint8_t next = shared(info.next[cursor]).load();
    if (next > layout::chunk_count) next = layout::chunk_count;
    shared(info.cursor).store(next);
    id = cursor;
  }
  lock.unlock();
  if (id < 0) return {};
  layout::chunk_header& chunk = chunk_at(*p, c, id);
  shared(chunk.conns).store(mask);
  p->outstanding.fetch_or(1u << id);
  return {id, reinterpret_cast<std::byte*>(&chunk) + sizeof(layout::chunk_header)};
}

void cancel_storage(std::int32_t id, std::uint64_t size) {
  if (!layout::valid_chunk_id(id)) return;
  const std::uint64_t c = layout::chunk_size_for(size);
  pool* p = find_pool(c, false);
  if (p == nullptr) return;
  p->outstanding.fetch_and(~(1u << id));
  release_in(*p, c, id, 0);
}

void* find_storage(std::int32_t id, std::uint64_t size) {
  if (!layout::valid_chunk_id(id)) {
    SPINDREL_LOG(log_level_failure, "[find_storage] id is invalid: id = %ld, size = %zd\n", static_cast<long>(id),
                 static_cast<std::ptrdiff_t>(size));
    return nullptr;
  }
  const std::uint64_t c = layout::chunk_size_for(size);
  pool* p = find_pool(c, false);
  if (p == nullptr) return nullptr;
  return reinterpret_cast<std::byte*>(&chunk_at(*p, c, id)) + sizeof(layout::chunk_header);
}

void release_chunk(std::int32_t id, std::uint64_t size, std::uint32_t keep) {
  if (!layout::valid_chunk_id(id)) return;
  const std::uint64_t c = layout::chunk_size_for(size);
  if (pool* p = find_pool(c, false)) release_in(*p, c, id, keep);
}

void release_named_chunk(const layout::message& slot_msg, std::uint32_t keep, forged_slot forged) {
  layout::message m;
  std::memcpy(&m, &slot_msg, sizeof(m));
  if (m.is_storage == 0) return;
  const bool report = forged == forged_slot::report;
  const std::int32_t r_size = layout::message_size(m);
  if (r_size <= 0) {
    if (report) SPINDREL_LOG(log_level_failure, "[clear_message] invalid msg size: %d\n", r_size);
    return;
  }
  const std::int32_t id = layout::storage_id(m);
  if (!layout::valid_chunk_id(id)) {
    if (report) {
      SPINDREL_LOG(log_level_failure, "[release_storage] id is invalid: id = %ld, size = %zd\n", static_cast<long>(id),
                   static_cast<std::ptrdiff_t>(r_size));
    }
    return;
  }
  release_chunk(id, static_cast<std::uint64_t>(r_size), keep);
}

bool settle_sent_storage(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  pool_table& t = table();
  for (std::uint32_t k = 0;;) {
    bool waiting = false;
    t.lock.lock();
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
    t.lock.unlock();
    if (!waiting) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    k = k < 32 ? 32 : k;  // poll once a millisecond
    backoff(k);
  }
}

}  // namespace ipc
