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

// A receiver with bit is done with chunk id; mask is the receivers connected when it took the message
// (others are dropped from the chunk as well). The last release returns the chunk to its pool.
void recycle_storage(std::int32_t id, std::uint64_t size, std::uint32_t mask, std::uint32_t bit);

// The slot that named chunk id is being overwritten: receivers outside keep (those no longer
// connected) will never release the chunk, so they are dropped from it; when nobody holds it any more
// it returns to its pool.
void release_storage(std::int32_t id, std::uint64_t size, std::uint32_t keep);

// The clear operation of a forced write: releases the chunk an old storage slot names. Always true.
bool clear_message(layout::queue& q, const layout::message& old);

// See channel.h.
bool settle_sent_storage(std::chrono::milliseconds timeout);

}  // namespace ipc
