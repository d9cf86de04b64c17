#include "spindrel/transport/channel.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>

#include "platform/process.h"
#include "platform/scheduling.h"
#include "spindrel/transport/log_sink.h"
#include "transport/channel_layout.h"
#include "transport/chunk_storage.h"
#include "transport/place_owner.h"
#include "transport/queue.h"
#include "transport/shm.h"
#include "transport/waiter.h"

namespace ipc {

struct detail::recv_buffer_access {
  static recv_buffer make(void* data, std::uint64_t size, void* extra, recv_buffer::release_fn release) {
    return recv_buffer(data, size, extra, release);
  }
};

namespace {

// A message whose first fragment arrived and whose last has not. The size it promises comes from a slot
// anyone may have written (up to 2 GiB), so its memory grows with the bytes that arrive rather than
// being taken at once. A message whose memory could not be had keeps its entry, marked broken, so that
// its later fragments are dropped too.
struct partial_message {
  std::uint64_t whole = 0;  // the size the first fragment promised
  std::uint64_t fill = 0;
  std::uint64_t capacity = 0;
  void* bytes = nullptr;  // malloc'd, capacity bytes
  bool broken = false;

  partial_message() = default;
  partial_message(const partial_message&) = delete;
  partial_message& operator=(const partial_message&) = delete;
  ~partial_message() { std::free(bytes); }

  // Adds up to n bytes, never past whole.
  void append(const void* data, std::uint64_t n) {
    if (broken) return;
    if (n > whole - fill) n = whole - fill;
    if (n == 0) return;
    if (fill + n > capacity) {
      std::uint64_t want = capacity * 2 > fill + n ? capacity * 2 : fill + n;
      if (want > whole) want = whole;
      void* grown = std::realloc(bytes, static_cast<std::size_t>(want));
      if (grown == nullptr) {
        std::free(std::exchange(bytes, nullptr));
        broken = true;
        return;
      }
      bytes = grown;
      capacity = want;
    }
    std::memcpy(static_cast<std::byte*>(bytes) + fill, data, static_cast<std::size_t>(n));
    fill += n;
  }
};

using reassembly_table = std::unordered_map<std::uint32_t, partial_message>;

// How long the slot at one read index has stayed in a state the receiver waits out: started by the
// first look at that index, running until stopped.
class slot_clock {
 public:
  std::chrono::steady_clock::duration elapsed(std::uint32_t index) {
    const auto now = std::chrono::steady_clock::now();
    if (!running_ || index_ != index) {
      running_ = true;
      index_ = index;
      since_ = now;
    }
    return now - since_;
  }
  void stop() { running_ = false; }

 private:
  bool running_ = false;
  std::uint32_t index_ = 0;
  std::chrono::steady_clock::time_point since_;
};

}  // namespace

struct channel_state {
  std::string name;
  std::uint32_t conn_id = 0;
  waiter connections_changed;  // woken on connect and disconnect
  waiter slot_freed;           // senders sleep on it while the queue is full
  waiter slot_written;         // receivers sleep on it while the queue is empty
  shm::handle msg_id_counter;
  std::atomic<std::uint32_t> receiver_bit{0};
  shm::handle queue_mapping;
  layout::queue* queue = nullptr;  // in queue_mapping; null when it could not be mapped
  shm::handle claims_mapping;
  layout::claims* claims = nullptr;  // in claims_mapping; null when it could not be mapped
  std::uint32_t pid = 0;
  // This handle's name in the place records for its current place, fresh for every connect, and the
  // queue's generation just before it took the place.
  std::uint64_t place_token = 0;
  std::uint64_t place_generation = 0;
  // Held by recv for its whole call, and by whoever else moves read_index or touches the table:
  // disconnect may run on another thread while recv waits.
  std::mutex recv_lock;
  std::uint32_t read_index = 0;
  // Messages in reassembly, by msg_id. One per handle rather than per thread: message ids are counted
  // per channel, so fragments of two channels received on one thread could share an id; and in the
  // Windows build (mingw-w64, winpthreads) destroying a thread_local table at thread exit corrupted
  // the heap (seen as a crash in 1 of 5 runs of the exit monitor, gone with this table).
  reassembly_table reassembly;
  // Since when the slot at read_index has been found unread, and since when claimed by a writer that
  // has not completed it (see pop_one).
  slot_clock unread;
  slot_clock unwritten;
  // How long another receiver's taking record on our place has held our reads up (see pop_one).
  place::patience place_wait;
};

namespace {

constexpr const char* source = "src/transport/channel";
constexpr std::uint64_t recv_wait_ms = 200;
constexpr std::uint32_t payload = layout::slot_payload;

// The counter that hands out conn_ids, one per namespace: a handle draws from its own channel's
// namespace, so that its id is unique among the handles that can meet it there.
// The counters stay open until the process ends. One found broken (cut short by another process, or
// inherited across a fork) is replaced; the old one is left to the threads that may still read it.
std::uint32_t* conn_counter(bool global) {
  static std::atomic<shm::handle*> counters[2] = {nullptr, nullptr};
  std::atomic<shm::handle*>& slot = counters[global ? 1 : 0];
  shm::handle* counter = slot.load();
  if (counter == nullptr || !counter->valid()) {
    auto* fresh = new shm::handle(layout::conn_id_counter_name, sizeof(std::uint32_t), global);
    if (fresh->valid() && slot.compare_exchange_strong(counter, fresh)) {
      counter = fresh;
    } else {
      delete fresh;
    }
  }
  return counter != nullptr && counter->valid() ? static_cast<std::uint32_t*>(counter->get()) : nullptr;
}

// A storage message's state for its release: which chunk, who was connected when it was taken, and
// the receiver that took it.
struct storage_hold {
  std::int32_t storage_id;
  std::uint32_t connections;
  std::uint32_t bit;
};

void release_copied(void* data, std::uint64_t) { std::free(data); }

void release_stored(void* extra, std::uint64_t size) {
  auto* hold = static_cast<storage_hold*>(extra);
  release_found_chunk(hold->storage_id, size, hold->connections & ~hold->bit);
  delete hold;
}

// A copied-message buffer of size bytes (one slot's payload at most), or an empty one when the memory
// cannot be had.
recv_buffer copied_buffer(std::uint64_t size) {
  void* block = std::malloc(static_cast<std::size_t>(size));
  if (block == nullptr) return {};
  return detail::recv_buffer_access::make(block, size, nullptr, release_copied);
}

constexpr std::size_t reassembly_prune_above = 1024;
constexpr std::int64_t reassembly_keep_distance = 8192;

// How far one slot of a message got.
enum class queued { none, some, all };

queued queue_slot(channel_state& h, std::uint32_t msg_id, std::int32_t remain, const void* data, std::uint32_t size,
                  std::uint64_t timeout_ms, bool strict) {
  layout::queue* q = h.queue;
  const queue::slot_fields fields{h.conn_id, msg_id, remain, data, size};
  const queue::writer who{h.claims, h.pid};
  queue::pushed result = queue::pushed::full;
  const bool done = h.slot_freed.wait_while(
      [&] { return (result = queue::push(*q, fields, who)) != queue::pushed::full; }, timeout_ms);
  if (!done) {
    if (strict) return queued::none;
    SPINDREL_LOG(log_level_recovery, "force_push: msg_id = %zd, remain = %d, size = %zd\n",
                 static_cast<std::ptrdiff_t>(msg_id), remain, static_cast<std::ptrdiff_t>(size));
    result = queue::force_push(*q, fields, who);
  }
  if (result == queue::pushed::full) return queued::none;  // no receiver left, or the wait was stopped
  if (result != queue::pushed::passed_over) h.slot_written.broadcast();
  if (result == queue::pushed::written) return queued::all;
  SPINDREL_LOG(log_level_failure,
               "fail: send, msg_id = %zd: receivers passed its slot over while the send was held up\n",
               static_cast<std::ptrdiff_t>(msg_id));
  return result == queue::pushed::written_for_some ? queued::some : queued::none;
}

bool send_message(channel_state* h, const void* data, std::uint64_t size, std::uint64_t timeout_ms, bool strict) {
  // A size the slots' 32-bit remain cannot express would arrive as garbage: refuse it like no data.
  if (data == nullptr || size == 0 || size > 0x7FFF'FFFFu) {
    SPINDREL_LOG(log_level_failure, "fail: send(%p, %zd)\n", data, static_cast<std::ptrdiff_t>(size));
    return false;
  }
  if (h == nullptr) {
    SPINDREL_LOG(log_level_failure, "fail: send, queue_of(h) == nullptr\n");
    return false;
  }
  if (h->queue == nullptr || !h->queue_mapping.valid()) {
    SPINDREL_LOG(log_level_failure, "fail: send, queue_of(h)->elems() == nullptr\n");
    return false;
  }
  const std::uint32_t connections = layout::shared(h->queue->connections).load();
  if (connections == 0) {
    SPINDREL_LOG(log_level_failure, "fail: send, there is no receiver on this connection.\n");
    return false;
  }
  if (!h->msg_id_counter.valid()) {
    SPINDREL_LOG(log_level_failure, "fail: send, info_of(h)->acc() == nullptr\n");
    return false;
  }
  const std::uint32_t msg_id = layout::shared(*static_cast<std::uint32_t*>(h->msg_id_counter.get())).fetch_add(1);
  const auto* bytes = static_cast<const std::byte*>(data);
  const auto total = static_cast<std::int32_t>(size);

  if (size > payload) {
    const storage_chunk chunk =
        allocate_storage(size, connections, std::chrono::milliseconds(timeout_ms), &h->slot_freed);
    if (chunk.data != nullptr) {
      std::memcpy(chunk.data, data, size);
      const queued sent =
          queue_slot(*h, msg_id, total - static_cast<std::int32_t>(payload), &chunk.id, 0, timeout_ms, strict);
      // Nobody will ever hear of this chunk: give it back rather than lose it from the pool.
      if (sent == queued::none) cancel_storage(chunk.id, size);
      return sent == queued::all;
    }
  }
  const std::uint64_t whole = size / payload;
  for (std::uint64_t i = 0; i < whole; ++i) {
    const auto offset = static_cast<std::int32_t>(payload * i);
    if (queue_slot(*h, msg_id, total - static_cast<std::int32_t>(payload) - offset, bytes + offset, payload, timeout_ms,
                   strict) != queued::all) {
      return false;
    }
  }
  const auto tail = static_cast<std::uint32_t>(size - payload * whole);
  if (tail == 0) return true;
  return queue_slot(*h, msg_id, static_cast<std::int32_t>(tail) - static_cast<std::int32_t>(payload),
                    bytes + payload * whole, tail, timeout_ms, strict) == queued::all;
}

// A writer that recorded nothing completes a slot nanoseconds after claiming it; one that has not for
// this long is taken for dead, and every receiver would otherwise wait on its slot for good.
constexpr std::chrono::milliseconds unwritten_slot_limit{1000};
// A writer that recorded its claim and runs is waited for this long at most. A live process may hold a
// record without being the writer: one that reused a dead writer's pid, or one named by a forged
// record. Without a bound either would stall every receiver for as long as that process lives. A
// writer paused for longer (a debugger, a frozen cgroup) finds its slot passed over and fails its send.
constexpr std::chrono::milliseconds recorded_writer_limit{5000};

// The process that recorded the claim of the slot at index, or 0 when nobody recorded that claim.
std::uint32_t recorded_writer(const channel_state& h, std::uint32_t index) {
  if (h.claims == nullptr) return 0;
  const std::uint64_t entry = layout::shared(h.claims->entries[index % layout::slot_count]).load();
  return layout::claim_index(entry) == index ? layout::claim_pid(entry) : 0;
}

// Why a receiver passes a claimed, unwritten slot over.
enum class give_up { wait, writer_gone, writer_held, unrecorded };

// Called with recv_lock held, on a slot that a writer claimed and has not completed. Whether to pass it
// over now: a recorded writer once its process is gone, or after recorded_writer_limit however alive it
// looks; one that recorded nothing (a peer) after a second.
give_up writer_given_up(channel_state& h) {
  const auto waited = h.unwritten.elapsed(h.read_index);
  const std::uint32_t pid = recorded_writer(h, h.read_index);
  if (pid == 0) return waited >= unwritten_slot_limit ? give_up::unrecorded : give_up::wait;
  if (platform::ProcessGone(pid)) return give_up::writer_gone;
  return waited >= recorded_writer_limit ? give_up::writer_held : give_up::wait;
}

// Called with recv_lock held, when the handle finds its place taken from it. Its marks in the slots
// are the next holder's to wipe, and the bit may be another receiver's already: it only forgets them.
void forget_place(channel_state& h, std::uint32_t bit) {
  if (h.receiver_bit.compare_exchange_strong(bit, 0)) {
    SPINDREL_LOG(log_level_failure, "fail: recv, the receiver place %u on %s was taken from us (evicted)\n",
                 static_cast<unsigned>(bit), h.name.c_str());
    h.reassembly.clear();
    h.unwritten.stop();
  }
}

place::owner place_owner(const channel_state& h) { return {h.claims, h.place_token}; }

// A new token for every holding, so that a holding this handle gave up never passes for its next one.
std::uint64_t new_place_token(std::uint32_t pid) {
  static std::atomic<std::uint32_t> holdings{0};
  return layout::place_token(pid, holdings.fetch_add(1));
}

// A receive that finds its next slot unread looks into why (a writer that has claimed the slot and not
// completed it yet, a place lapped or lost) only once the slot has stayed unread this long; until then
// each try reads nothing but the slot's commit word. A writer completes a slot a few hundred
// nanoseconds after claiming it: a receiver that read the write index or probed the writer's process
// (system calls) at every try slowed that writer down, and was held in the probe when the slot was
// written (a round trip between two processors took 13-15 us instead of 1). A receive that tries once
// (retrying false) looks further at once.
constexpr std::chrono::microseconds look_further_after{5};

// A receive that catches a writer filling its slot (a stream, the receiver faster than the writer)
// stays off the slot's cache lines for this many pauses (about 0.6 us here) before it tries again, so
// that the writer fills a few slots in a row instead of losing each line to the reader's next try
// (64-byte messages between two processors: 2.6-2.7 M/s without, 2.9-3.2 with; the round trip as it was).
constexpr int caught_up_pauses = 32;

// Called with recv_lock held.
bool pop_one(channel_state& h, layout::message& out, bool retrying) {
  const std::uint32_t bit = h.receiver_bit.load();
  if (bit == 0) return false;
  // Reading on from a place another receiver has taken would take its messages. While one is taking
  // the place (a newcomer after our eviction, or a loser of a race for the bit about to give up) we
  // wait for it to settle.
  switch (place::whose(place_owner(h), bit, h.place_wait)) {
    case place::verdict::theirs:
      forget_place(h, bit);
      return false;
    case place::verdict::unsettled:
      return false;
    case place::verdict::ours:
      break;
  }
  if (queue::pop(*h.queue, bit, h.read_index, out)) {
    h.unread.stop();
    h.unwritten.stop();
    return true;
  }
  if (retrying && queue::being_filled(*h.queue, h.read_index)) {
    for (int i = 0; i < caught_up_pauses; ++i) platform::PauseProcessor();
  }
  if (retrying && h.unread.elapsed(h.read_index) < look_further_after) return false;
  if (!queue::claimed_unwritten(*h.queue, h.read_index)) {
    h.unwritten.stop();
    if (queue::passed_unmarked(*h.queue, bit, h.read_index, h.place_generation)) {
      return queue::pop(*h.queue, bit, h.read_index, out);
    }
    if (queue::lost_place(*h.queue, bit, h.read_index)) forget_place(h, bit);
    return false;
  }
  const give_up why = writer_given_up(h);
  if (why == give_up::wait) return false;
  const std::uint32_t index = h.read_index;
  if (queue::skip_unwritten(*h.queue, bit, h.read_index, why == give_up::writer_gone)) {
    h.unwritten.stop();
    static constexpr const char* reasons[] = {"", "its writer is gone", "its writer held it past the limit",
                                              "nobody recorded its writer"};
    SPINDREL_LOG(log_level_recovery, "skip: slot %u was claimed and never written (%s)\n", static_cast<unsigned>(index),
                 reasons[static_cast<int>(why)]);
  }
  return queue::pop(*h.queue, bit, h.read_index, out);
}

// The four kinds of slot a receiver meets. Each gives the message the slot completes, or nullopt when
// the receive goes on with the next slot (the message is not complete yet, or it was dropped).

// A large message, read in place in its chunk until the buffer gives the chunk back.
std::optional<recv_buffer> take_stored(channel_state& h, const layout::message& m, std::uint64_t size) {
  const std::int32_t id = layout::storage_id(m);
  void* data = find_storage(id, size);
  if (data == nullptr) {
    SPINDREL_LOG(log_level_recovery, "fail: shm::handle for large message. msg_id: %zd, buf_id: %zd, size: %zd\n",
                 static_cast<std::ptrdiff_t>(m.msg_id), static_cast<std::ptrdiff_t>(id),
                 static_cast<std::ptrdiff_t>(size));
    return std::nullopt;
  }
  const std::uint32_t connections = layout::shared(h.queue->connections).load();
  const std::uint32_t bit = h.receiver_bit.load();
  auto* hold = new (std::nothrow) storage_hold{id, connections, bit};
  if (hold == nullptr) {
    release_found_chunk(id, size, connections & ~bit);
    return std::nullopt;
  }
  return detail::recv_buffer_access::make(data, size, hold, release_stored);
}

// The next fragment of a message in reassembly.
std::optional<recv_buffer> add_fragment(reassembly_table& table, reassembly_table::iterator found,
                                        const layout::message& m, std::uint64_t size) {
  partial_message& entry = found->second;
  entry.append(m.data, m.remain > 0 ? payload : size);
  if (m.remain > 0) return std::nullopt;
  // Fragments that promised more than they brought are no message: padding the gap would let one
  // forged slot make every receiver fill and hand out up to 2 GiB of zeros.
  if (entry.broken || entry.fill < entry.whole) {
    if (!entry.broken) {
      SPINDREL_LOG(log_level_failure, "fail: recv, message %zd ended short: %zd of %zd bytes\n",
                   static_cast<std::ptrdiff_t>(m.msg_id), static_cast<std::ptrdiff_t>(entry.fill),
                   static_cast<std::ptrdiff_t>(entry.whole));
    }
    table.erase(found);
    return std::nullopt;
  }
  recv_buffer done =
      detail::recv_buffer_access::make(std::exchange(entry.bytes, nullptr), entry.whole, nullptr, release_copied);
  table.erase(found);
  return done;
}

// A message that fits one slot.
std::optional<recv_buffer> take_single(const layout::message& m, std::uint64_t size) {
  recv_buffer single = copied_buffer(size);
  if (single.empty()) return std::nullopt;
  std::memcpy(single.data(), m.data, size);
  return single;
}

// The first fragment of a longer message.
void start_reassembly(reassembly_table& table, const layout::message& m, std::uint64_t size) {
  if (table.size() > reassembly_prune_above) {
    std::erase_if(table, [&](const auto& item) {
      const std::int64_t distance = static_cast<std::int64_t>(item.first) - static_cast<std::int64_t>(m.msg_id);
      return distance > reassembly_keep_distance || distance < -reassembly_keep_distance;
    });
  }
  partial_message& entry = table[m.msg_id];
  entry.whole = size;
  entry.append(m.data, payload);
}

// A slot from another handle, whose size was found sane.
std::optional<recv_buffer> take_slot(channel_state& h, const layout::message& m, std::uint64_t size) {
  if (m.is_storage != 0) return take_stored(h, m, size);
  if (const auto found = h.reassembly.find(m.msg_id); found != h.reassembly.end()) {
    return add_fragment(h.reassembly, found, m, size);
  }
  if (size <= payload) return take_single(m, size);
  start_reassembly(h.reassembly, m, size);
  return std::nullopt;
}

}  // namespace

recv_buffer::recv_buffer(recv_buffer&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      extra_(std::exchange(other.extra_, nullptr)),
      release_(std::exchange(other.release_, nullptr)) {}

recv_buffer& recv_buffer::operator=(recv_buffer&& other) noexcept {
  if (this != &other) {
    reset();
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
    extra_ = std::exchange(other.extra_, nullptr);
    release_ = std::exchange(other.release_, nullptr);
  }
  return *this;
}

void recv_buffer::reset() {
  if (release_ != nullptr) release_(extra_ != nullptr ? extra_ : data_, size_);
  data_ = nullptr;
  size_ = 0;
  extra_ = nullptr;
  release_ = nullptr;
}

channel::channel(std::string_view name, bool global) : state_(std::make_unique<channel_state>()) {
  channel_state& h = *state_;
  h.name = name;
  if (std::uint32_t* counter = conn_counter(global)) h.conn_id = layout::shared(*counter).fetch_add(1);
  const auto open_waiter = [&](waiter& w, const std::string& waiter_name) {
    w.set_global(global);
    w.open(waiter_name);
  };
  open_waiter(h.connections_changed, layout::connections_changed_name(name));
  open_waiter(h.slot_freed, layout::slot_freed_name(name));
  open_waiter(h.slot_written, layout::slot_written_name(name));
  h.msg_id_counter.acquire(layout::msg_id_counter_name(name), sizeof(std::uint32_t), global);
  h.pid = platform::CurrentProcessId();
  // Without its claims a handle still sends and receives; its writes are then timed out like a peer's.
  if (h.claims_mapping.acquire(layout::claims_name(name), sizeof(layout::claims), global) &&
      h.claims_mapping.size() >= sizeof(layout::claims)) {
    h.claims = static_cast<layout::claims*>(h.claims_mapping.get());
  }
  if (h.queue_mapping.acquire(layout::queue_name(name), sizeof(layout::queue), global)) {
    // A mapping made smaller than the queue by someone else is no queue.
    if (h.queue_mapping.size() >= sizeof(layout::queue)) {
      h.queue = static_cast<layout::queue*>(h.queue_mapping.get());
      queue::construct(*h.queue);
    }
  }
}

channel::~channel() {
  if (!state_) return;
  disconnect();
  channel_state& h = *state_;
  h.queue = nullptr;
  h.queue_mapping.release();
  h.claims = nullptr;
  h.claims_mapping.release();
  h.msg_id_counter.release();
  h.slot_written.close();
  h.slot_freed.close();
  h.connections_changed.close();
}

channel::channel(channel&& other) noexcept = default;

channel& channel::operator=(channel&& other) noexcept {
  if (this != &other) {
    channel dying(std::move(*this));
    state_ = std::move(other.state_);
  }
  return *this;
}

bool channel::connect(mode m) {
  if (!state_) return false;
  channel_state& h = *state_;
  if (m == mode::sender) {
    if (h.receiver_bit.load() != 0) disconnect();
    return h.queue != nullptr;
  }
  if (h.queue == nullptr) return false;
  if (h.receiver_bit.load() == 0) {
    const std::lock_guard guard(h.recv_lock);
    h.place_token = new_place_token(h.pid);
    h.place_generation = layout::shared(h.queue->generation).load();
    const std::uint32_t bit = queue::connect_receiver(*h.queue, h.read_index, place_owner(h));
    if (bit == 0) return false;
    h.receiver_bit.store(bit);
  }
  h.connections_changed.broadcast();
  return true;
}

void channel::disconnect() {
  if (!state_) return;
  channel_state& h = *state_;
  // Taking the bit away stops recv's pops at once; stopping the waiters ends its wait; then it lets go
  // of the lock and the unread slots and the reassembly table can go.
  const std::uint32_t released = h.queue != nullptr ? h.receiver_bit.exchange(0) : 0;
  h.connections_changed.stop();
  h.slot_freed.stop();
  h.slot_written.stop();
  if (released != 0) {
    const std::lock_guard guard(h.recv_lock);
    queue::disconnect_receiver(*h.queue, released, h.read_index, place_owner(h), h.place_generation);
    h.reassembly.clear();
  }
}

bool channel::send(const void* data, std::uint64_t size, std::uint64_t timeout_ms) {
  return send_message(state_.get(), data, size, timeout_ms, false);
}

bool channel::send_strict(const void* data, std::uint64_t size, std::uint64_t timeout_ms) {
  return send_message(state_.get(), data, size, timeout_ms, true);
}

recv_buffer channel::recv() { return recv(recv_wait_ms); }

recv_buffer channel::recv(std::uint64_t wait_ms) {
  if (!state_) {
    SPINDREL_LOG(log_level_failure, "fail: recv, queue_of(h) == nullptr\n");
    return {};
  }
  channel_state& h = *state_;
  if (h.receiver_bit.load() == 0 || h.queue == nullptr) return {};
  const std::lock_guard guard(h.recv_lock);
  for (;;) {
    layout::message m{};
    bool taken = false;
    if (!h.slot_written.wait_while([&] { return taken = pop_one(h, m, wait_ms != 0); }, wait_ms)) return {};
    if (!taken) return {};  // stopped
    h.slot_freed.broadcast();
    if (h.msg_id_counter.valid() && m.sender_id == h.conn_id) continue;  // our own message
    const std::int32_t r_size = layout::message_size(m);
    if (r_size <= 0) {
      SPINDREL_LOG(log_level_failure, "fail: recv, r_size = %d\n", r_size);
      return {};
    }
    if (std::optional<recv_buffer> done = take_slot(h, m, static_cast<std::uint64_t>(r_size))) return std::move(*done);
  }
}

bool channel::valid() const { return state_ && state_->queue != nullptr && state_->queue_mapping.valid(); }

std::uint32_t channel::receiver_bit() const { return state_ ? state_->receiver_bit.load() : 0; }

std::uint32_t channel::conn_id() const { return state_ ? state_->conn_id : 0; }

std::size_t channel::partial_messages() const {
  if (!state_) return 0;
  const std::lock_guard guard(state_->recv_lock);
  return state_->reassembly.size();
}

}  // namespace ipc
