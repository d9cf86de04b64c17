// Large-message storage: pools of 32 chunks per chunk size, shared by every process of the machine
// (always in the Global namespace), with a free list of chunk ids in each pool. A sender copies a
// message into a chunk and names the chunk's id in one queue slot; each receiver reads it in place and
// releases it; the last release returns the chunk to its pool.
//
// Ids, cursors, links and sizes read from shared memory are checked before use: an id outside 0..31 is
// invalid, and a pool whose mapping is smaller than its layout is not used.
#pragma once

#include <chrono>
#include <cstdint>

#include "transport/channel_layout.h"

namespace ipc {

// The process-wide table of pools, by chunk size: the pool's header (its chunks follow it), or null
// when the pool cannot be opened. Pools stay open until the process exits. Thread-safe.
layout::chunk_info* chunk_storages(std::uint64_t chunk_size);

namespace id_pool {
// Checks the pool's free list and rebuilds it when it is broken (one level-4 line). Call with the
// pool's lock held.
void prepare(layout::chunk_info& info);
}  // namespace id_pool

struct storage_chunk {
  std::int32_t id = 0;
  void* data = nullptr;  // null when no chunk was had
};

// Takes a chunk that holds size bytes, held for the receivers in mask. Thread-safe.
storage_chunk allocate_storage(std::uint64_t size, std::uint32_t mask);
// Gives a chunk that was never announced back to its pool.
void cancel_storage(std::int32_t id, std::uint64_t size);

// The data of chunk id in the pool for size, or null. Opens only a pool some sender created.
void* find_storage(std::int32_t id, std::uint64_t size);

// Drops every receiver outside keep from chunk id (a receiver done with it, or receivers no longer
// connected that will never release it); the release that leaves nobody returns the chunk to its pool.
// The one way back to the pool for a chunk that was announced.
void release_chunk(std::int32_t id, std::uint64_t size, std::uint32_t keep);

enum class forged_slot { report, ignore };

// release_chunk for the chunk a storage slot names; any other slot is left alone. The slot comes from
// shared memory: a size or an id that cannot be is not used, and with forged_slot::report one
// level-2 line says so.
void release_named_chunk(const layout::message& slot_msg, std::uint32_t keep, forged_slot forged);

// See channel.h.
bool settle_sent_storage(std::chrono::milliseconds timeout);

}  // namespace ipc
