#include "transport/queue.h"

#include <atomic>
#include <bit>
#include <chrono>
#include <cstring>

#include "spindrel/transport/log_sink.h"
#include "transport/backoff.h"
#include "transport/chunk_storage.h"

namespace ipc::queue {
namespace {

constexpr const char* source = "src/transport/queue";

// A hostile or dead holder of the construction lock must not hang every process that opens the queue.
constexpr std::chrono::milliseconds construction_lock_limit{500};

using layout::shared;

layout::slot& slot_at(layout::queue& q, std::uint32_t index) { return q.slots[index % layout::slot_count]; }

std::uint32_t pending_of(std::uint64_t state) { return static_cast<std::uint32_t>(state & layout::pending_mask); }

// The same stamp, the change counter one further (never carrying into the stamp), and a new mask.
std::uint64_t next_state(std::uint64_t state, std::uint64_t stamp, std::uint32_t mask) {
  return (stamp & layout::stamp_mask) | ((state + layout::counter_one) & layout::counter_mask) | mask;
}

// The value of a released slot's commit: the write index that may write it next.
std::uint64_t released_commit(std::uint32_t index) { return std::uint64_t{index} + layout::slot_count; }

// Whether a released commit lets write index w write the slot. The commit is a 64-bit sum, the index
// wraps at 2^32: compare in 32 bits, so the slot written just before the wrap is not locked forever.
bool released_for(std::uint64_t commit, std::uint32_t w) {
  return (commit >> 32) <= 1 && static_cast<std::uint32_t>(commit) == w;
}

struct cleared {
  bool was_pending;    // bit was in the mask and this call took it out
  std::uint32_t rest;  // the receivers still pending on the slot
};

// Takes bit out of slot s's pending mask, as a read does. The change counter moves on with it, so that
// a writer that looked at the slot before sees the change. Retries while others change the slot;
// changes nothing when bit is not pending or holds() (checked before each try) turns false.
template <typename Holds>
cleared clear_pending(layout::slot& s, std::uint32_t bit, Holds holds) {
  for (std::uint32_t k = 0;;) {
    std::uint64_t r = shared(s.read_state).load();
    const std::uint32_t rest = pending_of(r) & ~bit;
    if (rest == pending_of(r) || !holds()) return {false, pending_of(r)};
    if (shared(s.read_state).compare_exchange_strong(r, next_state(r, r, rest))) return {true, rest};
    backoff(k);
  }
}

cleared clear_pending(layout::slot& s, std::uint32_t bit) {
  return clear_pending(s, bit, [] { return true; });
}

// Releases slot s, which nobody is pending on any more, from write `index` for the next round. Only if
// no writer has claimed the slot since: a plain store could land on top of a newer write's commit and
// hide that write from every receiver.
void release_read_slot(layout::slot& s, std::uint32_t index) {
  std::uint64_t expected = ~std::uint64_t{index};
  shared(s.commit).compare_exchange_strong(expected, released_commit(index));
}

void write_slot(layout::slot& s, const slot_fields& fields) {
  layout::message& m = s.msg;
  m.sender_id = fields.sender_id;
  m.msg_id = fields.msg_id;
  m.remain = fields.remain;
  const bool storage = fields.payload == nullptr || fields.size == 0;
  m.is_storage = storage ? 1 : 0;
  std::memset(m.data, 0, sizeof(m.data));
  if (!storage) {
    std::memcpy(m.data, fields.payload, fields.size < layout::slot_payload ? fields.size : layout::slot_payload);
  } else if (fields.payload != nullptr) {
    std::memcpy(m.data, fields.payload, sizeof(std::int32_t));
  }
}

// A forced write releases the large message of the content it replaces: receivers still connected may
// hold that message in hand, so only those gone (evicted just now, or disconnected) are dropped from it.
void release_replaced(layout::queue& q, const layout::message& old) {
  release_named_chunk(old, shared(q.connections).load(), forged_slot::report);
}

std::atomic<void (*)()> claimed_hook{nullptr};

// Whether a slot claimed with read_state `claimed` is still that claim, now `state`: only receivers
// that passed it over may have taken their bits out of it (each moving the change counter once). A new
// claim (of a forced write, or of the next round once every receiver passed the slot over) has another
// stamp, other bits, or more changes than bits gone.
bool still_claimed(std::uint64_t state, std::uint64_t claimed) {
  if ((state & layout::stamp_mask) != (claimed & layout::stamp_mask)) return false;
  if ((pending_of(state) & ~pending_of(claimed)) != 0) return false;
  const std::uint64_t changes =
      ((state & layout::counter_mask) - (claimed & layout::counter_mask)) & layout::counter_mask;
  return changes >> 32 == static_cast<std::uint64_t>(std::popcount(pending_of(claimed) & ~pending_of(state)));
}

// After a claim of write w (read_state became `claimed`): records it, publishes write_index and fills
// the slot. Between the claim and the fill a writer may be paused for any time; a receiver passes the
// slot over when it takes the writer for dead (its recorded process is gone or held the slot for
// seconds, or a writer that recorded nothing has not completed it within a second). Such a receiver has cleared its bit
// from the mask, and the last one released the slot to w + 256, so the fill checks both: it never writes into a slot
// that was released, and it tells its caller when a receiver was passed by.
pushed fill_claimed(layout::queue& q, std::uint32_t w, std::uint64_t claimed, const slot_fields& fields, bool forced,
                    const writer& who) {
  layout::slot& s = slot_at(q, w);
  if (who.claims != nullptr) {
    shared(who.claims->entries[w % layout::slot_count]).store(layout::claim_entry(who.pid, w));
  }
  shared(q.write_index).store(w + 1);
  if (void (*hook)() = claimed_hook.load()) hook();
  if (who.claims == nullptr) {
    if (forced) release_replaced(q, s.msg);
    write_slot(s, fields);
    shared(s.commit).store(~std::uint64_t{w});
    return pushed::written;
  }
  // Take the slot for filling: from then on our receivers wait for us as long as we live.
  for (std::uint32_t k = 0;;) {
    const std::uint64_t state = shared(s.read_state).load();
    if (!still_claimed(state, claimed) || pending_of(state) == 0) return pushed::passed_over;
    std::uint64_t commit = shared(s.commit).load();
    if (commit == layout::filling_commit(w)) break;
    if (released_for(commit, w + layout::slot_count)) return pushed::passed_over;
    if (shared(s.commit).compare_exchange_strong(commit, layout::filling_commit(w))) break;
    backoff(k);
  }
  // Receivers may have passed the slot over before we took it; none does after.
  const std::uint64_t state = shared(s.read_state).load();
  if (!still_claimed(state, claimed)) return pushed::passed_over;  // a forced write took it: its commit wins
  if (pending_of(state) == 0) {
    std::uint64_t filling = layout::filling_commit(w);
    shared(s.commit).compare_exchange_strong(filling, released_commit(w));
    return pushed::passed_over;
  }
  if (forced) release_replaced(q, s.msg);
  write_slot(s, fields);
  std::uint64_t filling = layout::filling_commit(w);
  shared(s.commit).compare_exchange_strong(filling, ~std::uint64_t{w});
  return state == claimed ? pushed::written : pushed::written_for_some;
}

pushed push_with(layout::queue& q, const slot_fields& fields, bool forced, const writer& who) {
  std::uint64_t g = shared(q.generation).load();
  for (std::uint32_t k = 0;;) {
    // The registry is read after the slot: a receiver whose mark the slot carries took its bit before
    // that mark was made, so cc has it, and the slot is not taken from under its unread message.
    const std::uint32_t w = shared(q.write_index).load();
    layout::slot& s = slot_at(q, w);
    std::uint64_t r = shared(s.read_state).load();
    const std::uint32_t cc = shared(q.connections).load();
    if (cc == 0) return pushed::full;
    const bool same_stamp = (r & layout::stamp_mask) == (g & layout::stamp_mask);
    if ((pending_of(r) & cc) != 0 && same_stamp) return pushed::full;
    if (pending_of(r) == 0) {
      const std::uint64_t commit = shared(s.commit).load();
      if (commit != 0 && !released_for(commit, w)) return pushed::full;
    }
    const std::uint64_t claimed = next_state(r, g, cc);
    if (!shared(s.read_state).compare_exchange_strong(r, claimed)) {
      backoff(k);
      continue;
    }
    const std::uint64_t now = shared(q.generation).load();
    if (now != g) {
      // A forced write happened meanwhile: claim the slot again under the new stamp.
      g = now;
      backoff(k);
      continue;
    }
    return fill_claimed(q, w, claimed, fields, forced, who);
  }
}

// Clears bit from slot index's pending mask if the slot still holds that write, as a receiver's read
// would, and releases the large message it names. For slots a receiver will never read.
void drop_mark(layout::queue& q, std::uint32_t index, std::uint32_t bit) {
  layout::slot& s = slot_at(q, index);
  layout::message m;
  std::memcpy(&m, &s.msg, sizeof(m));
  const cleared c = clear_pending(s, bit, [&] { return shared(s.commit).load() == ~std::uint64_t{index}; });
  if (!c.was_pending) return;
  if (c.rest == 0) release_read_slot(s, index);
  // Our copy is the write at `index` unless a writer had already claimed the slot for the next round
  // (and so moved write_index past it) before our swap: then the chunk is not ours to touch.
  if (static_cast<std::int32_t>(shared(q.write_index).load() - (index + layout::slot_count)) >= 0) return;
  release_named_chunk(m, shared(q.connections).load() & ~bit, forged_slot::ignore);
}

}  // namespace

void construct(layout::queue& q) {
  if (shared(q.constructed).load() == 1) return;
  spin_lock lock(q.init_lock);
  const bool locked = lock.try_lock_for(construction_lock_limit);
  if (shared(q.constructed).load() == 0) {
    shared(q.connections).store(0);
    shared(q.constructed).store(1);
  }
  if (locked) lock.unlock();
}

std::uint32_t connect_receiver(layout::queue& q, std::uint32_t& read_index, const place::owner& who) {
  std::uint32_t old = shared(q.connections).load();
  std::uint32_t bit = 0;
  std::uint64_t generation = 0;
  place::patience wait;
  for (std::uint32_t k = 0;; backoff(k), old = shared(q.connections).load()) {
    bit = ~old & (old + 1);  // the lowest free one
    if (bit == 0) return 0;
    // Recorded before the take: a handle that held the place before us and looks at the record after
    // it saw the bit set then sees us (disconnect_receiver).
    std::uint64_t replaced = 0;
    if (!place::reserve(who, bit, wait, replaced)) continue;
    generation = shared(q.generation).load();
    if (shared(q.connections).compare_exchange_strong(old, old | bit)) break;
    place::withdraw(who, bit, replaced);
  }
  // Without a forced write since the take nobody can have evicted us and taken the bit anew.
  if (!place::confirm(who, bit, shared(q.generation).load() != generation)) return 0;
  const std::uint32_t start = shared(q.write_index).load();
  read_index = start;
  // Slots claimed since `start` carry our mark rightly even before they are written.
  const std::uint32_t claimed_since = shared(q.write_index).load() - start;
  // A receiver that held this bit before and left without reading its slots (killed, or an older
  // program) left its mark in them; writers would take those marks for ours and evict us although we
  // read everything. Slots written from `start` on are ours to read.
  for (std::uint32_t i = 0; i < layout::slot_count; ++i) {
    layout::slot& s = q.slots[i];
    if ((pending_of(shared(s.read_state).load()) & bit) == 0) continue;
    const std::uint64_t commit = shared(s.commit).load();
    if ((commit >> 32) == 0xFFFF'FFFFu) {
      const auto index = static_cast<std::uint32_t>(~commit);
      if (static_cast<std::int32_t>(index - start) >= 0) continue;  // written since we connected
      drop_mark(q, index, bit);
    } else if ((i - start) % layout::slot_count >= claimed_since) {
      clear_pending(s, bit);  // not a complete write: only the mark goes
    }
  }
  return bit;
}

void disconnect_receiver(layout::queue& q, std::uint32_t bit, std::uint32_t read_index, const place::owner& who,
                         std::uint64_t generation) {
  // An evicted handle's bit may belong to another receiver by now: it is not ours to clear. Without an
  // eviction the slots' marks prove nothing: the first slot we would read lacks ours when its writer
  // read the registry just before we took the bit, and writes may have gone a turn past such slots.
  const bool forced_since = shared(q.generation).load() != generation;
  passed_unmarked(q, bit, read_index, generation);
  if (forced_since ? !holds_place(q, bit, read_index) : lost_place(q, bit, read_index)) return;
  place::patience wait;
  if (place::whose(who, bit, wait) == place::verdict::theirs) return;
  // Our marks go first, while the bit is still ours: afterwards a forced write can evict us (and another
  // receiver take the bit) only after writers have marked a whole turn of the queue for us anew.
  const std::uint32_t end = shared(q.write_index).load();
  std::uint32_t i = read_index;
  for (; i != end && end - i <= layout::slot_count; ++i) {
    if (shared(slot_at(q, i).commit).load() != ~std::uint64_t{i}) break;
    drop_mark(q, i, bit);
  }
  if (lost_place(q, bit, i)) return;
  // Cleared only from a registry value read before the record: a receiver of ours records itself before
  // it takes a bit, so a bit set in that value, with nobody else's record after it, is ours.
  std::uint32_t old = shared(q.connections).load();
  for (std::uint32_t k = 0;; backoff(k)) {
    if ((old & bit) == 0) return;
    const place::verdict v = place::whose(who, bit, wait);
    if (v == place::verdict::theirs) return;
    if (v == place::verdict::unsettled) {
      old = shared(q.connections).load();
    } else if (shared(q.connections).compare_exchange_strong(old, old & ~bit)) {
      break;
    }
  }
  // Writers that looked at the registry before the line above may still mark a slot or two for this
  // bit; the next receiver to take the bit wipes those (connect_receiver).
}

pushed push(layout::queue& q, const slot_fields& fields, const writer& who) { return push_with(q, fields, false, who); }

pushed force_push(layout::queue& q, const slot_fields& fields, const writer& who) {
  std::uint64_t g = shared(q.generation).fetch_add(layout::generation_step) + layout::generation_step;
  for (std::uint32_t k = 0;;) {
    const std::uint32_t w = shared(q.write_index).load();  // before the registry, as in push_with
    layout::slot& s = slot_at(q, w);
    std::uint64_t r = shared(s.read_state).load();
    std::uint32_t cc = shared(q.connections).load();
    if (cc == 0) return pushed::full;
    const std::uint32_t lagging = pending_of(r);
    if ((lagging & cc) != 0) {
      SPINDREL_LOG(log_level_recovery, "force_push: k = %u, cc = %u, rem_cc = %u\n", k, cc, lagging);
      std::uint32_t old = shared(q.connections).load();
      while (!shared(q.connections).compare_exchange_weak(old, old & ~lagging)) {
      }
      cc = old & ~lagging;
      if (cc == 0) return pushed::full;
    }
    const std::uint64_t claimed = next_state(r, g, cc);
    if (!shared(s.read_state).compare_exchange_strong(r, claimed)) {
      backoff(k);
      continue;
    }
    if (shared(q.generation).load() == g) return fill_claimed(q, w, claimed, fields, true, who);
    if (const pushed done = push_with(q, fields, true, who); done != pushed::full) return done;
    g = shared(q.generation).fetch_add(layout::generation_step) + layout::generation_step;
    backoff(k);
  }
}

void set_claimed_hook_for_testing(void (*hook)()) { claimed_hook.store(hook); }

bool pop(layout::queue& q, std::uint32_t bit, std::uint32_t& read_index, layout::message& out) {
  const std::uint32_t i = read_index;
  layout::slot& s = slot_at(q, i);
  if (shared(s.commit).load() != ~std::uint64_t{i}) return false;
  read_index = i + 1;
  std::memcpy(&out, &s.msg, sizeof(out));
  // Released only after our read is recorded.
  const cleared c = clear_pending(s, bit);
  if (c.rest == 0) release_read_slot(s, i);
  if (c.was_pending) return true;
  // Nothing held the slot for us (it was claimed before we took the bit): the next turn may have taken
  // it while we copied. Its writers fill it only after moving write_index past i + 256. The processors
  // we build for keep loads in order; the fence keeps the compiler from moving the copy past the check.
  std::atomic_signal_fence(std::memory_order_seq_cst);
  return shared(q.write_index).load() - i <= layout::slot_count;
}

bool being_filled(layout::queue& q, std::uint32_t read_index) {
  return shared(slot_at(q, read_index).commit).load() == layout::filling_commit(read_index);
}

bool claimed_unwritten(layout::queue& q, std::uint32_t read_index) {
  const std::uint32_t ahead = shared(q.write_index).load() - read_index;
  if (ahead == 0 || ahead > layout::slot_count) return false;
  // What a writer found when it claimed the slot for round i: never written (0), released for i, or the
  // previous round complete but forced over (its receivers were evicted); or our writer's mark that it
  // is filling the slot.
  const std::uint64_t commit = shared(slot_at(q, read_index).commit).load();
  return commit == 0 || released_for(commit, read_index) ||
         commit == ~std::uint64_t{static_cast<std::uint32_t>(read_index - layout::slot_count)} ||
         commit == layout::filling_commit(read_index);
}

bool passed_unmarked(layout::queue& q, std::uint32_t bit, std::uint32_t& read_index, std::uint64_t generation) {
  const std::uint32_t w = shared(q.write_index).load();
  if (w - read_index <= layout::slot_count) return false;
  // Every write counted in w was claimed before this load: with the stamp unchanged, none was forced.
  if (shared(q.generation).load() != generation || (shared(q.connections).load() & bit) == 0) return false;
  read_index = w - layout::slot_count;
  return true;
}

bool lost_place(layout::queue& q, std::uint32_t bit, std::uint32_t read_index) {
  return (shared(q.connections).load() & bit) == 0 || shared(q.write_index).load() - read_index > layout::slot_count;
}

bool holds_place(layout::queue& q, std::uint32_t bit, std::uint32_t read_index) {
  if (lost_place(q, bit, read_index)) return false;
  if (shared(q.write_index).load() == read_index) return true;
  // The next slot to read is ours while it still carries our mark: whoever took the bit after us wiped
  // it, as every receiver that connects wipes its bit from slots written before it came.
  const layout::slot& s = slot_at(q, read_index);
  if ((pending_of(shared(s.read_state).load()) & bit) == 0) return false;
  return shared(s.commit).load() == ~std::uint64_t{read_index} || claimed_unwritten(q, read_index);
}

bool skip_unwritten(layout::queue& q, std::uint32_t bit, std::uint32_t& read_index, bool writer_gone) {
  const std::uint32_t i = read_index;
  layout::slot& s = slot_at(q, i);
  if (!claimed_unwritten(q, i)) return false;  // completed after all: read it
  // A writer filling the slot writes into it: releasing the slot under it would let the next round's
  // writer share it.
  const auto released_under_writer = [&](std::uint64_t commit) {
    return !writer_gone && commit == layout::filling_commit(i);
  };
  if (released_under_writer(shared(s.commit).load())) return false;
  read_index = i + 1;
  if (clear_pending(s, bit).rest != 0) return true;
  // Only from the value seen when the slot was found stuck: a writer that does complete it meanwhile
  // keeps its commit.
  std::uint64_t commit = shared(s.commit).load();
  if (commit != ~std::uint64_t{i} && !released_under_writer(commit)) {
    shared(s.commit).compare_exchange_strong(commit, released_commit(i));
  }
  return true;
}

}  // namespace ipc::queue
