// The bytes a channel shares with other processes: the queue mapping and the large-message pools.
// These layouts are a contract with every process of the suite, byte for byte (docs/channel.md);
// integers are little-endian. Every field read from them may have been written by anyone, so code that
// uses a value as an index or a size checks it first.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "spindrel/transport/kernel_name.h"

namespace ipc::layout {

inline constexpr std::uint32_t slot_count = 256;
inline constexpr std::uint32_t slot_payload = 64;
inline constexpr std::uint32_t max_receivers = 32;

// The part of a slot a receiver copies out.
struct message {
  std::uint32_t sender_id;  // conn_id of the writing handle
  std::uint32_t msg_id;     // the same for every slot of one message
  std::int32_t remain;      // 64 + remain = message bytes this slot stands for
  std::uint8_t is_storage;  // 1: the payload starts with a storage id
  std::uint8_t reserved[3];
  std::uint8_t data[slot_payload];
};

struct slot {
  message msg;
  // bits 0-31 receivers that have not read the slot yet, 32-55 change counter, 56-63 generation stamp
  std::uint64_t read_state;
  // 0 never written; ~index of the write that filled it; or, once read by all, the index that may
  // write it next
  std::uint64_t commit;
};

// The queue mapping "__QU_CONN__64__8__" + name. Fields that different processes change often sit
// 64 bytes apart.
struct queue {
  std::uint32_t connections;  // bit i: a receiver holds place i
  std::uint32_t init_lock;    // spin lock for the one-time construction
  std::uint8_t constructed;
  std::uint8_t reserved0[55];
  std::uint32_t write_index;
  std::uint8_t reserved1[60];
  std::uint64_t generation;  // only the top byte is used: advanced by every forced write
  std::uint8_t reserved2[56];
  slot slots[slot_count];
  std::uint8_t reserved3[64];
};

// The header of a large-message pool "__CHUNK_INFO__" + chunk size; 32 chunks follow it.
struct chunk_info {
  std::uint8_t next[32];  // free list links; 32 ends the list
  std::uint8_t cursor;    // first free id; 32: the pool is empty
  std::uint8_t prepared;  // 1 once the links were built
  std::uint8_t reserved[2];
  std::uint32_t lock;  // spin lock over next, cursor and prepared
};

// The start of every chunk; the message bytes follow.
struct chunk_header {
  std::uint32_t conns;  // receivers that have not released the chunk yet
  std::uint32_t reserved;
};

inline constexpr std::int32_t chunk_count = 32;

// The writers' claims and the receivers' places "__CL_CONN__" + name: an object of this
// implementation's own beside the queue, not part of the protocol (peers neither make nor read it).
struct claims {
  // Entry i names the last claim of slot i: the write index in bits 0-31, the claiming process's id in
  // bits 32-63 (0: nobody recorded).
  std::uint64_t entries[slot_count];
  // Owner i names the receiver that takes or holds place i (bit 1 << i of connections), as a
  // place_token, with place_taking set from just before its take until it has it; 0: nobody recorded.
  std::uint64_t owners[max_receivers];
};

inline constexpr std::uint64_t claim_entry(std::uint32_t pid, std::uint32_t write_index) {
  return (std::uint64_t{pid} << 32) | write_index;
}
inline constexpr std::uint32_t claim_pid(std::uint64_t entry) { return static_cast<std::uint32_t>(entry >> 32); }
inline constexpr std::uint32_t claim_index(std::uint64_t entry) { return static_cast<std::uint32_t>(entry); }

// A receiving handle's name in owners for one holding of a place: its process id in bits 32-63 and a
// number its process draws per connect in bits 0-30, so that no two holdings of live processes share it.
inline constexpr std::uint64_t place_taking = std::uint64_t{1} << 31;
inline constexpr std::uint64_t place_token(std::uint32_t pid, std::uint32_t holding) {
  return (std::uint64_t{pid} << 32) | (holding & 0x7FFF'FFFFu);
}
inline constexpr std::uint32_t place_pid(std::uint64_t owner) { return static_cast<std::uint32_t>(owner >> 32); }

// The commit of a slot that write index w fills right now: set by our writers between their claim and
// `~w`, so that a receiver that would pass the slot over can no longer release it under them.
inline constexpr std::uint64_t filling_commit(std::uint32_t w) { return (std::uint64_t{1} << 63) | w; }

// read_state fields.
inline constexpr std::uint64_t pending_mask = 0xFFFF'FFFFull;
inline constexpr std::uint64_t counter_one = 1ull << 32;
inline constexpr std::uint64_t counter_mask = 0xFF'FFFFull << 32;
inline constexpr std::uint64_t stamp_mask = 0xFFull << 56;
inline constexpr std::uint64_t generation_step = 1ull << 56;

// Every word of these layouts is another process's word too: it is only ever read and written
// through this view.
template <typename T>
std::atomic_ref<T> shared(T& word) {
  return std::atomic_ref<T>(word);
}

// The message bytes a slot stands for: the message's whole size in its first slot, the bytes still to
// come in the others. Zero or less in a slot nobody sane wrote.
inline std::int32_t message_size(const message& m) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(m.remain) + slot_payload);
}
// The chunk id a storage slot names (its first 4 payload bytes), unchecked.
inline std::int32_t storage_id(const message& m) {
  std::int32_t id = 0;
  std::memcpy(&id, m.data, sizeof(id));
  return id;
}
constexpr bool valid_chunk_id(std::int32_t id) { return id >= 0 && id < chunk_count; }

// The chunk size that holds a message of n bytes and its 8-byte header: a multiple of 1024.
constexpr std::uint64_t chunk_size_for(std::uint64_t n) { return ((n + 7) & ~std::uint64_t{1023}) + 1024; }
// The size of a pool of chunk size c.
constexpr std::uint64_t chunk_info_size(std::uint64_t c) { return sizeof(chunk_info) + chunk_count * c; }

// Names that the layer opening the object completes: shm puts the namespace and "__IPC_SHM__" before a
// mapping's name, a condition builds its semaphore's and lock's names from its own. The waiter's lock is
// the exception: its name is the kernel name as it stands.
inline std::string tagged(std::string_view tag, std::string_view name) { return std::string(tag).append(name); }

inline std::string shared_memory_name(bool global, std::string_view name) {
  return kernel_name(global, "__IPC_SHM__", name);
}
inline std::string condition_semaphore_name(bool global, std::string_view condition) {
  return kernel_name(global, "_cond_sem_", condition);
}
inline std::string condition_lock_name(bool global, std::string_view condition) {
  return kernel_name(global, "_cond_lock_", condition);
}
inline std::string condition_counter_name(std::string_view condition) { return tagged("_cond_shm_", condition); }
inline std::string waiter_condition_name(std::string_view waiter) { return tagged("_waiter_cond_", waiter); }
inline std::string waiter_lock_name(std::string_view waiter) { return tagged("_waiter_lock_", waiter); }

// A channel's objects.
inline constexpr std::string_view conn_id_counter_name = "__CA_CONN__";  // one per namespace
inline std::string msg_id_counter_name(std::string_view channel) { return tagged("__AC_CONN__", channel); }
inline std::string connections_changed_name(std::string_view channel) { return tagged("__CC_CONN__", channel); }
inline std::string slot_freed_name(std::string_view channel) { return tagged("__WT_CONN__", channel); }
inline std::string slot_written_name(std::string_view channel) { return tagged("__RD_CONN__", channel); }
inline std::string queue_name(std::string_view channel) {
  return "__QU_CONN__" + std::to_string(slot_payload) + "__" + std::to_string(8) + "__" + std::string(channel);
}
inline std::string claims_name(std::string_view channel) { return tagged("__CL_CONN__", channel); }
inline std::string chunk_info_name(std::uint64_t c) { return "__CHUNK_INFO__" + std::to_string(c); }

static_assert(sizeof(message) == 80);
static_assert(offsetof(message, sender_id) == 0);
static_assert(offsetof(message, msg_id) == 4);
static_assert(offsetof(message, remain) == 8);
static_assert(offsetof(message, is_storage) == 12);
static_assert(offsetof(message, data) == 16);

static_assert(sizeof(slot) == 96);
static_assert(offsetof(slot, msg) == 0);
static_assert(offsetof(slot, read_state) == 80);
static_assert(offsetof(slot, commit) == 88);

static_assert(sizeof(queue) == 24'832 && sizeof(queue) == 0x6100);
static_assert(offsetof(queue, connections) == 0);
static_assert(offsetof(queue, init_lock) == 4);
static_assert(offsetof(queue, constructed) == 8);
static_assert(offsetof(queue, write_index) == 64);
static_assert(offsetof(queue, generation) == 128);
static_assert(offsetof(queue, slots) == 192);
static_assert(offsetof(queue, slots) + 255 * sizeof(slot) == 192 + 96 * 255);
static_assert(offsetof(queue, reserved3) == 24'768);

static_assert(sizeof(claims) == 2304);
static_assert(offsetof(claims, entries) == 0);
static_assert(offsetof(claims, owners) == 2048);
static_assert(place_token(7, 0xFFFF'FFFFu) == 0x0000'0007'7FFF'FFFFull);  // the number never sets place_taking
static_assert(claim_entry(7, 9) == 0x0000'0007'0000'0009ull);
static_assert(filling_commit(5) >> 32 == 0x8000'0000u);  // never ~w (all ones) nor a released w + 256

static_assert(sizeof(chunk_info) == 40);
static_assert(offsetof(chunk_info, next) == 0);
static_assert(offsetof(chunk_info, cursor) == 32);
static_assert(offsetof(chunk_info, prepared) == 33);
static_assert(offsetof(chunk_info, lock) == 36);
static_assert(sizeof(chunk_header) == 8);
static_assert(offsetof(chunk_header, conns) == 0);

static_assert(chunk_info_size(1024) == 40 + 32 * 1024);
static_assert(chunk_size_for(65) == 1024 && chunk_size_for(1016) == 1024 && chunk_size_for(1017) == 2048);

}  // namespace ipc::layout
