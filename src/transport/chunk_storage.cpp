#include "transport/chunk_storage.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "spindrel/transport/log_sink.h"
#include "transport/backoff.h"
#include "transport/shm.h"
#include "transport/waiter.h"

namespace ipc {
namespace {

constexpr const char* source = "src/transport/chunk_storage";

// Another process may die holding a pool's lock (or hold it on purpose): past this, a sender gives up
// the chunk and sends in fragments instead of hanging.
constexpr std::chrono::milliseconds pool_lock_limit{200};
constexpr std::chrono::milliseconds exit_settle_limit{500};
// A pool unused this long is closed; a sender of steady traffic keeps it, one that is done lets it go.
constexpr std::chrono::seconds pool_idle_limit{2};
// A sender takes this many chunks per visit to the free list and keeps the rest for its next sends:
// the pool's lock then moves between processes once per four messages on the sending side. Few enough
// that a process leaves most of a pool (shared by every channel of the machine) to the others.
constexpr int chunks_per_take = 4;
// The longest a sender waits for a chunk of its own to come back before it sends in fragments: long
// enough for a receiver on the same processor to get its turn, short against a receiver that holds on.
constexpr std::chrono::milliseconds empty_pool_wait_limit{20};

using layout::shared;
using clock = std::chrono::steady_clock;

constexpr std::uint32_t bit_of(std::int32_t id) { return 1u << id; }

struct pool {
  std::uint64_t chunk_size = 0;
  shm::handle mapping{true};  // pools live in the Global namespace, whatever the channel's
  // Chunks this process filled whose receivers may not have released them yet, by id.
  std::atomic<std::uint32_t> outstanding{0};
  // Chunks this process took off the free list for its next sends, by id (conns 0, on no list).
  std::atomic<std::uint32_t> set_aside{0};
  // Chunks due back on the free list whose return did not get the pool's lock, by id.
  std::atomic<std::uint32_t> unreturned{0};
  // Operations under way and chunks read in place: the pool is not closed while any is.
  std::atomic<std::uint32_t> users{0};
  bool pinned = false;     // a caller holds the header's address: open until exit (under the table lock)
  clock::time_point used;  // the last operation's start (under the table lock)
};

// The process-wide table of pools. Entries are never removed, so a pool pointer stays valid (a closed
// pool keeps its entry without a mapping); the table itself is never destroyed, so that a thread still
// sending while the process exits never meets a dead table.
struct pool_table {
  std::map<std::uint64_t, std::unique_ptr<pool>> pools;
  // Pools whose object was cut under them while chunks of theirs were in use here. Their views stay
  // mapped (the memory trap put zeros there) for as long as the process lives: a thread still holding
  // a chunk pointer, the handle or the pinned header reads zeros instead of faulting on an unmapped
  // page. Bounded by the trap's table of broken views.
  std::vector<std::unique_ptr<pool>> broken;
  std::uint32_t lock_word = 0;
  spin_lock lock{lock_word};  // held by this process's threads only, never for long: no bound needed
  bool exited = false;        // after the exit's clean-up no pool is made again
};

pool_table& table();

// One use of a pool, counted in its users while it lasts.
class pool_use {
 public:
  pool_use() = default;
  explicit pool_use(pool* counted) : p_(counted) {}
  pool_use(pool_use&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  pool_use& operator=(pool_use&&) = delete;
  ~pool_use() {
    if (p_ != nullptr) p_->users.fetch_sub(1);
  }
  explicit operator bool() const { return p_ != nullptr; }
  pool& operator*() const { return *p_; }
  pool* operator->() const { return p_; }
  // Ends the use without uncounting it: the caller uncounts it later.
  void keep() { p_ = nullptr; }

 private:
  pool* p_ = nullptr;
};

layout::chunk_info& info_of(pool& p) { return *static_cast<layout::chunk_info*>(p.mapping.get()); }

layout::chunk_header& chunk_at(pool& p, std::uint64_t c, std::int32_t id) {
  auto* base = static_cast<std::byte*>(p.mapping.get());
  return *reinterpret_cast<layout::chunk_header*>(base + sizeof(layout::chunk_info) +
                                                  static_cast<std::uint64_t>(id) * c);
}

// Pushes every id in ids on the free list. Call with the pool's lock held.
void push_ids(layout::chunk_info& info, std::uint32_t ids) {
  for (; ids != 0; ids &= ids - 1) {
    const auto id = static_cast<std::uint8_t>(std::countr_zero(ids));
    shared(info.next[id]).store(shared(info.cursor).load());
    shared(info.cursor).store(id);
  }
}

// The returns that are due: this one, and any an earlier call could not make. Without the lock they
// stay due rather than lost; the next holder of the lock in this process makes them.
void push_free(pool& p, std::uint32_t ids) {
  p.unreturned.fetch_or(ids);
  layout::chunk_info& info = info_of(p);
  spin_lock lock(info.lock);
  if (!lock.try_lock_for(pool_lock_limit)) {
    SPINDREL_LOG(log_level_recovery, "[push_free] pool lock not had in 200 ms: chunks 0x%08x kept for a later return\n",
                 static_cast<unsigned>(p.unreturned.load()));
    return;
  }
  push_ids(info, p.unreturned.exchange(0));
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
  if (old != 0 && (old & keep) == 0) push_free(p, bit_of(id));
}

// True while a chunk this process filled is still with a receiver; forgets the ones that are not.
bool sent_in_flight(pool& p, std::uint64_t c) {
  std::uint32_t ids = p.outstanding.load();
  for (std::uint32_t rest = ids; rest != 0; rest &= rest - 1) {
    const int id = std::countr_zero(rest);
    if (shared(chunk_at(p, c, id).conns).load() == 0) p.outstanding.fetch_and(~bit_of(id));
  }
  return p.outstanding.load() != 0;
}

// Gives the chunks set aside and the returns that are due back to the free list, with one try at the
// lock: false, and nothing changed, when the lock was taken.
bool give_back_all(pool& p) {
  if ((p.set_aside.load() | p.unreturned.load()) == 0) return true;
  layout::chunk_info& info = info_of(p);
  spin_lock lock(info.lock);
  if (!lock.try_lock_for(clock::duration::zero())) return false;
  push_ids(info, p.set_aside.exchange(0) | p.unreturned.exchange(0));
  lock.unlock();
  return true;
}

// Closes p when nothing of this process uses it. Call with the table's lock held.
void close_if_unused(pool& p, std::uint64_t c) {
  if (!p.mapping.valid() || p.users.load() != 0 || sent_in_flight(p, c) || !give_back_all(p)) return;
  p.mapping.release();
}

void close_idle(pool_table& t, clock::time_point now) {
  for (auto& [c, p] : t.pools) {
    if (!p->pinned && now - p->used >= pool_idle_limit) close_if_unused(*p, c);
  }
}

void close_at_exit() {
  settle_sent_storage(exit_settle_limit);
  pool_table& t = table();
  const std::lock_guard guard(t.lock);
  t.exited = true;
  for (auto& [c, p] : t.pools) {
    if (std::exchange(p->pinned, false)) p->users.fetch_sub(1);
    close_if_unused(*p, c);
  }
}

pool_table& table() {
  static pool_table* const instance = new pool_table;
  return *instance;
}

// Registered after the first pool was opened, so that it runs before the exit tears down what opening
// one set up.
void close_pools_at_exit() {
  static std::once_flag registered;
  std::call_once(registered, [] { std::atexit(close_at_exit); });
}

// A use of the pool of chunk size c with its mapping, or none. Only a sender creates a pool: the size a
// receiver asks for comes from a queue slot anyone may have written, and a pool made for it would be up
// to 4 GiB of zeros that nobody fills.
pool_use find_pool(std::uint64_t c, bool create) {
  pool_table& t = table();
  const std::lock_guard guard(t.lock);
  const clock::time_point now = clock::now();
  close_idle(t, now);
  pool* found = nullptr;
  if (const auto entry = t.pools.find(c); entry != t.pools.end() && entry->second->mapping.valid()) {
    found = entry->second.get();
  } else if (create && t.exited) {
    return {};  // the process is ending: whatever it still sends goes in fragments
  } else {
    const std::uint64_t size = layout::chunk_info_size(c);
    const std::string name = layout::chunk_info_name(c);
    // The mapping's size is a 32-bit quantity on the wire (and at the system call); and a mapping made
    // smaller than its layout by someone else must not be indexed. A size that fails gets no entry, so
    // forged sizes do not grow the table.
    shm::handle mapping(true);
    const bool fits = size <= 0xFFFF'FFFFu && (create ? mapping.acquire(name, size) : mapping.open_existing(name)) &&
                      mapping.size() >= size;
    if (!fits) {
      SPINDREL_LOG(log_level_failure, "[chunk_storages] chunk_shm.id_info_.acquire failed: chunk_size = %zd\n",
                   static_cast<std::ptrdiff_t>(c));
      return {};
    }
    std::unique_ptr<pool>& made = t.pools[c];
    if (made && made->mapping.get() != nullptr) t.broken.push_back(std::move(made));
    if (!made) made = std::make_unique<pool>();
    made->chunk_size = c;
    made->mapping = std::move(mapping);
    found = made.get();
    close_pools_at_exit();
  }
  found->used = now;
  found->users.fetch_add(1);
  return pool_use(found);
}

// Takes a chunk this process set aside, or -1.
std::int32_t take_set_aside(pool& p) {
  std::uint32_t ids = p.set_aside.load();
  while (ids != 0 && !p.set_aside.compare_exchange_weak(ids, ids & (ids - 1))) {
  }
  return ids != 0 ? std::countr_zero(ids) : -1;
}

// Checks the pool's free list and rebuilds it when it is broken (one level-4 line). Call with the
// pool's lock held. The list is rebuilt from what the chunks say, not from the cursor found: an id a
// receiver holds, or one this process set aside, must not be handed out again, and a free one must not
// be lost. A chunk another sender took a moment ago and has not marked yet is the one it cannot tell, a
// window of a few instructions on a path that only a broken list takes.
void prepare(pool& p) {
  layout::chunk_info& info = info_of(p);
  const bool was_prepared = shared(info.prepared).load() == 1;
  if (was_prepared && free_list_valid(info)) return;
  const std::uint32_t aside = p.set_aside.load();
  std::uint8_t head = layout::chunk_count;
  for (std::int32_t j = layout::chunk_count - 1; j >= 0; --j) {
    if ((aside & bit_of(j)) != 0 || shared(chunk_at(p, p.chunk_size, j).conns).load() != 0) continue;
    shared(info.next[j]).store(head);
    head = static_cast<std::uint8_t>(j);
  }
  shared(info.cursor).store(head);
  if (was_prepared) {
    SPINDREL_LOG(log_level_recovery, "[id_pool::prepare] invalid free-list detected, rebuild pool.");
  }
  shared(info.prepared).store(1);
}

// Takes up to chunks_per_take chunks off the free list, keeps all but the first aside and returns the
// first: -1 when the list is empty or its lock was not had.
std::int32_t take_from_list(pool& p) {
  layout::chunk_info& info = info_of(p);
  spin_lock lock(info.lock);
  if (!lock.try_lock_for(pool_lock_limit)) return -1;
  prepare(p);
  push_ids(info, p.unreturned.exchange(0));
  std::uint32_t taken = 0;
  for (int n = 0; n < chunks_per_take; ++n) {
    const std::uint8_t cursor = shared(info.cursor).load();
    if (cursor >= layout::chunk_count) break;
    std::uint8_t next = shared(info.next[cursor]).load();
    if (next > layout::chunk_count) next = layout::chunk_count;
    shared(info.cursor).store(next);
    taken |= bit_of(cursor);
  }
  lock.unlock();
  if (taken == 0) return -1;
  p.set_aside.fetch_or(taken & (taken - 1));
  return std::countr_zero(taken);
}

}  // namespace

layout::chunk_info* chunk_storages(std::uint64_t chunk_size) {
  if (chunk_size > largest_pooled_chunk) return nullptr;
  pool_use p = find_pool(chunk_size, true);
  if (!p) return nullptr;
  give_back_all(*p);
  {
    const std::lock_guard guard(table().lock);
    if (!p->pinned) {
      p->pinned = true;
      p->users.fetch_add(1);
    }
  }
  return &info_of(*p);
}

storage_chunk allocate_storage(std::uint64_t size, std::uint32_t mask, std::chrono::milliseconds wait, waiter* taken) {
  const std::uint64_t c = layout::chunk_size_for(size);
  if (c > largest_pooled_chunk) return {};
  pool_use p = find_pool(c, true);
  if (!p) return {};
  std::int32_t id = take_set_aside(*p);
  if (id < 0) id = take_from_list(*p);
  // On one processor the receivers run only when the sender stops: an empty pool then means "wait a
  // moment", not "send the next messages in 64-byte pieces". Nobody wakes a sleeper on a pool, but a
  // receiver wakes `taken` at every message it takes, and it returns the chunk of one message before
  // it takes the next (a chunk goes back when its buffer is dropped). So while our chunks are out,
  // each of those wake-ups after the first finds one back. Polling with sleeps instead handed the
  // processor over once per sleep, and on a busy processor each hand-over can cost a time slice.
  if (id < 0 && taken != nullptr && wait.count() > 0 && sent_in_flight(*p, c)) {
    layout::chunk_info& info = info_of(*p);
    const auto returned = [&] {
      return (shared(info.cursor).load() < layout::chunk_count || p->unreturned.load() != 0) &&
             (id = take_from_list(*p)) >= 0;
    };
    taken->wait_while(returned, static_cast<std::uint64_t>(std::min(wait, empty_pool_wait_limit).count()));
  }
  if (id < 0) return {};
  layout::chunk_header& chunk = chunk_at(*p, c, id);
  shared(chunk.conns).store(mask);
  p->outstanding.fetch_or(bit_of(id));
  return {id, reinterpret_cast<std::byte*>(&chunk) + sizeof(layout::chunk_header)};
}

void cancel_storage(std::int32_t id, std::uint64_t size) {
  if (!layout::valid_chunk_id(id)) return;
  const std::uint64_t c = layout::chunk_size_for(size);
  pool_use p = find_pool(c, false);
  if (!p) return;
  p->outstanding.fetch_and(~bit_of(id));
  release_in(*p, c, id, 0);
}

void* find_storage(std::int32_t id, std::uint64_t size) {
  if (!layout::valid_chunk_id(id)) {
    SPINDREL_LOG(log_level_failure, "[find_storage] id is invalid: id = %ld, size = %zd\n", static_cast<long>(id),
                 static_cast<std::ptrdiff_t>(size));
    return nullptr;
  }
  const std::uint64_t c = layout::chunk_size_for(size);
  pool_use p = find_pool(c, false);
  if (!p) return nullptr;
  void* data = reinterpret_cast<std::byte*>(&chunk_at(*p, c, id)) + sizeof(layout::chunk_header);
  p.keep();
  return data;
}

void release_chunk(std::int32_t id, std::uint64_t size, std::uint32_t keep) {
  if (!layout::valid_chunk_id(id)) return;
  const std::uint64_t c = layout::chunk_size_for(size);
  if (pool_use p = find_pool(c, false)) release_in(*p, c, id, keep);
}

void release_found_chunk(std::int32_t id, std::uint64_t size, std::uint32_t keep) {
  const std::uint64_t c = layout::chunk_size_for(size);
  pool_use p = find_pool(c, false);
  if (!p) return;
  release_in(*p, c, id, keep);
  p->users.fetch_sub(1);  // find_storage's
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
  const auto deadline = clock::now() + timeout;
  pool_table& t = table();
  for (std::uint32_t k = 0;;) {
    bool waiting = false;
    t.lock.lock();
    for (auto& [c, p] : t.pools) {
      if (p->mapping.valid() && sent_in_flight(*p, c)) waiting = true;
    }
    t.lock.unlock();
    if (!waiting) return true;
    if (clock::now() >= deadline) return false;
    k = k < backoff_sleeps ? backoff_sleeps : k;  // poll once a millisecond
    backoff(k);
  }
}

void close_unused_storage() {
  pool_table& t = table();
  const std::lock_guard guard(t.lock);
  for (auto& [c, p] : t.pools) {
    if (!p->pinned) close_if_unused(*p, c);
  }
}

std::size_t open_storage_count() {
  pool_table& t = table();
  const std::lock_guard guard(t.lock);
  std::size_t open = 0;
  for (const auto& [c, p] : t.pools) open += p->mapping.valid() ? 1 : 0;
  return open;
}

}  // namespace ipc
