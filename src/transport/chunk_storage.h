// Large-message storage: pools of 32 chunks per chunk size, shared by every process of the machine
// (always in the Global namespace), with a free list of chunk ids in each pool. A sender copies a
// message into a chunk and names the chunk's id in one queue slot; each receiver reads it in place and
// releases it; the last release returns the chunk to its pool.
//
// Ids, cursors, links and sizes read from shared memory are checked before use: an id outside 0..31 is
// invalid, and a pool whose mapping is smaller than its layout is not used.
//
// A process keeps a pool open while it uses it: while a chunk it filled waits for its receivers, while
// it reads a chunk in place, and for a short idle time after that; then it closes the pool (at the next
// pool operation of any size), and at exit it closes them all.
#pragma once

#include <chrono>
#include <cstdint>

#include "transport/channel_layout.h"

namespace ipc {

class waiter;

// The largest chunk size this process makes a pool of: the chunk of a 1 MiB message, so that a pool
// holds at most 32 MiB. A larger message goes in fragments.
inline constexpr std::uint64_t largest_pooled_chunk = layout::chunk_size_for(std::uint64_t{1} << 20);

// The header of the pool of chunk size chunk_size (its chunks follow it), made if need be; null when
// the pool cannot be opened or chunk_size is above largest_pooled_chunk. A broken free list is rebuilt
// at the next take from the pool, from the chunks that no receiver holds and that no sender of this
// process set aside (one level-4 line). Chunks this process took off
// the free list for later sends are put back first, so the list shows every chunk nobody uses. The
// pool then stays open until the process exits. Thread-safe.
layout::chunk_info* chunk_storages(std::uint64_t chunk_size);

struct storage_chunk {
  std::int32_t id = 0;
  void* data = nullptr;  // null when no chunk was had
};

// Takes a chunk that holds size bytes, held for the receivers in mask; no chunk (send in fragments)
// for a size above the largest pooled chunk. When the pool is empty while chunks this process filled
// are still with their receivers, waits up to wait (20 ms at most) for one to come back, asleep on
// taken: the waiter that receivers wake whenever they take a message (without one, no wait).
// Thread-safe.
storage_chunk allocate_storage(std::uint64_t size, std::uint32_t mask, std::chrono::milliseconds wait,
                               waiter* taken = nullptr);
// Gives a chunk that was never announced back to its pool.
void cancel_storage(std::int32_t id, std::uint64_t size);

// The data of chunk id in the pool for size, or null. Opens only a pool some sender created. The pool
// stays open for the caller until release_found_chunk for the same id and size.
void* find_storage(std::int32_t id, std::uint64_t size);

// Drops every receiver outside keep from chunk id (a receiver done with it, or receivers no longer
// connected that will never release it); the release that leaves nobody returns the chunk to its pool.
// The one way back to the pool for a chunk that was announced. A return that cannot take the pool's
// lock in time is kept by this process and made by its next operation on the pool (or at exit).
void release_chunk(std::int32_t id, std::uint64_t size, std::uint32_t keep);
// release_chunk for a chunk that find_storage gave, ending find_storage's hold on the pool.
void release_found_chunk(std::int32_t id, std::uint64_t size, std::uint32_t keep);

enum class forged_slot { report, ignore };

// release_chunk for the chunk a storage slot names; any other slot is left alone. The slot comes from
// shared memory: a size or an id that cannot be is not used, and with forged_slot::report one
// level-2 line says so.
void release_named_chunk(const layout::message& slot_msg, std::uint32_t keep, forged_slot forged);

// See channel.h.
bool settle_sent_storage(std::chrono::milliseconds timeout);

// See channel.h. Pools that chunk_storages gave out stay open.
void close_unused_storage();

// The number of pools this process holds open.
std::size_t open_storage_count();

}  // namespace ipc
