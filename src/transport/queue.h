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
#include "transport/place_owner.h"

namespace ipc::queue {

// Runs once per process per opening: resets the receiver registry of a queue nobody has set up yet.
void construct(layout::queue& q);

// Takes a free receiver place for who, recording it (place::reserve, confirm): its bit, or 0 when all 32
// are taken or the place was taken from who before it could record itself. read_index becomes the next
// write, and marks left in older slots for the same bit by a receiver that is gone are wiped.
std::uint32_t connect_receiver(layout::queue& q, std::uint32_t& read_index, const place::owner& who);

// Gives up bit, unless the handle no longer holds it (another receiver may hold it now), then reads away
// (discards) every slot written for it up to now, so that no slot keeps waiting for a receiver that
// left; large messages among them are released. generation is the queue's, read before the handle took
// the bit: while no forced write has moved it, nobody can have evicted the handle, and only lost_place
// and place::whose can tell that the place is not its own; after one, holds_place has a say too.
void disconnect_receiver(layout::queue& q, std::uint32_t bit, std::uint32_t read_index, const place::owner& who,
                         std::uint64_t generation);

struct slot_fields {
  std::uint32_t sender_id;
  std::uint32_t msg_id;
  std::int32_t remain;
  const void* payload;  // null or size 0 with a storage id: a storage slot
  std::uint32_t size;   // at most 64
};

// Who writes. With claims, each claim is recorded there (process pid, write index) before write_index
// moves past it, and the slot is taken for filling before its bytes are written, so that receivers wait
// for a slow writer (up to a bound) and pass over at once a dead one. Without claims the writer records
// nothing.
struct writer {
  layout::claims* claims;
  std::uint32_t pid;
};

// A writer that records nothing, as a peer writes.
inline constexpr writer unrecorded{nullptr, 0};

enum class pushed {
  written,  // every receiver the slot was claimed for will find it
  full,     // nothing written: nobody connected, or the next slot still waits for a connected receiver
  // Claimed, then passed over by receivers that took the writer for dead while it was held up (or
  // taken by a forced write):
  passed_over,       // nothing written
  written_for_some,  // written for the receivers still waiting on it
};

// Writes one slot for every connected receiver.
pushed push(layout::queue& q, const slot_fields& fields, const writer& who);

// Writes one slot even when the queue is full: receivers that have not read the slot being replaced are
// evicted (one level-4 line each time), and the large message the old content names is released for
// them. full only when no receiver remains.
pushed force_push(layout::queue& q, const slot_fields& fields, const writer& who);

// Called by a writer between its claim (write_index moved past the slot) and its write, when set; a test
// holds a writer there. Not for production use.
void set_claimed_hook_for_testing(void (*hook)());

// Reads the next slot for the receiver with bit and read_index into out. False when nothing new is
// there, or when the slot did not wait for this receiver and the next turn took it during the read
// (read_index has then moved past it).
bool pop(layout::queue& q, std::uint32_t bit, std::uint32_t& read_index, layout::message& out);

// Whether the slot at read_index was claimed by a writer that has not completed it: write_index has moved
// past it while its commit still holds what an earlier round left there, or says that the writer is
// filling it. A writer between its claim and its commit, a paused one, or one that died there. A
// receiver that was lapped sees other values and gets false.
bool claimed_unwritten(layout::queue& q, std::uint32_t read_index);

// Whether our writer of the slot at read_index is filling it right now (between its claim and commit).
bool being_filled(layout::queue& q, std::uint32_t read_index);

// Whether writes went a whole turn past read_index over slots that never carried bit's mark; if so,
// read_index moves on to the oldest write still in the queue. A writer that read the registry just
// before the bit was taken claims a slot or two without its mark, and while the receiver is held up
// before reading them the next turn's writers may take those slots. Nothing else laps a receiver that
// no forced write has evicted since generation (the queue's, read before the take): no writer of ours
// claims a slot that still waits for a connected receiver.
bool passed_unmarked(layout::queue& q, std::uint32_t bit, std::uint32_t& read_index, std::uint64_t generation);

// Whether this receiver has lost its place: a write has gone round the queue past read_index (a forced
// write evicted it), or bit is no longer registered at all.
bool lost_place(layout::queue& q, std::uint32_t bit, std::uint32_t read_index);

// Whether this receiver still holds its place, as far as the queue can tell: not lost_place, and the
// next slot it would read still carries its mark (another receiver that took the bit would have wiped
// it). Only a receiver that read everything written before the bit was taken from it and taken again
// is mistaken for the holder.
bool holds_place(layout::queue& q, std::uint32_t bit, std::uint32_t read_index);

// Passes over that slot without reading it: bit leaves its mask and, when nobody is left in it, the
// slot is released for the next round as a read would release it. read_index moves on. False (and
// nothing done) when the slot is no longer claimed_unwritten, or when a writer is filling it and
// writer_gone is false.
bool skip_unwritten(layout::queue& q, std::uint32_t bit, std::uint32_t& read_index, bool writer_gone);

}  // namespace ipc::queue
