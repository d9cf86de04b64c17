// The connection registry and the slot queue of a channel, working on the shared layout::queue. Every
// function here is lock-free (compare-and-swap loops paced by backoff) and makes no system call; the
// waits around them belong to the channel.
//
// Any process may write any bytes into the queue: nothing here uses a value read from it as an index
// other than modulo the slot count.
//
// Every atomic access to the queue is sequentially consistent, and the protocol relies on it: do not
// weaken one without proving the whole protocol again.
#pragma once

#include <cstdint>

#include "transport/channel_layout.h"

namespace ipc::queue {

// Runs once per process per opening: resets the receiver registry of a queue nobody has set up yet.
void construct(layout::queue& q);

// Takes a free receiver place: its bit, or 0 when all 32 are taken. read_index becomes the next write,
// and marks left in older slots for the same bit by a receiver that is gone are wiped.
std::uint32_t connect_receiver(layout::queue& q, std::uint32_t& read_index);

// Gives up bit, then reads away (discards) every slot written for it up to now, so that no slot keeps
// waiting for a receiver that left; large messages among them are released.
void disconnect_receiver(layout::queue& q, std::uint32_t bit, std::uint32_t read_index);

struct slot_fields {
  std::uint32_t sender_id;
  std::uint32_t msg_id;
  std::int32_t remain;
  const void* payload;  // null or size 0 with a storage id: a storage slot
  std::uint32_t size;   // at most 64
};

// Writes one slot for every connected receiver. False when nobody is connected or the next slot still
// waits for a connected receiver (the queue is full).
bool push(layout::queue& q, const slot_fields& fields);

// Writes one slot even when the queue is full: receivers that have not read the slot being replaced are
// evicted (one level-4 line each time), and the large message the old content names is released for
// them. False only when no receiver remains.
bool force_push(layout::queue& q, const slot_fields& fields);

// Reads the next slot for the receiver with bit and read_index into out. False when nothing new is
// there.
bool pop(layout::queue& q, std::uint32_t bit, std::uint32_t& read_index, layout::message& out);

// Whether the slot at read_index was claimed by a writer that has not completed it: write_index has moved
// past it while its commit still holds what an earlier round left there. A writer between its claim
// and its commit (nanoseconds), or one that died there. A receiver that was lapped sees other values
// and gets false.
bool claimed_unwritten(layout::queue& q, std::uint32_t read_index);

// Passes over that slot without reading it: bit leaves its mask and, when nobody is left in it, the
// slot is released for the next round as a read would release it. read_index moves on. False (and
// nothing done) when the slot is no longer claimed_unwritten.
bool skip_unwritten(layout::queue& q, std::uint32_t bit, std::uint32_t& read_index);

}  // namespace ipc::queue
