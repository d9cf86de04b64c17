#include "spindrel/transport/channel.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <unordered_map>
#include <utility>

#include "transport/channel_layout.h"
#include "transport/chunk_storage.h"
#include "spindrel/transport/log_sink.h"
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

}  // namespace

struct channel_state {
  std::string name;
  std::uint32_t conn_id = 0;
  waiter cc_waiter;
  waiter wt_waiter;
  waiter rd_waiter;
  shm::handle acc;
  std::atomic<std::uint32_t> receiver_bit{0};
  shm::handle elems_mapping;
  layout::queue* elems = nullptr;
  // Held by recv for its whole call, and by whoever else moves read_index or touches the table:
  // disconnect may run on another thread while recv waits.
  std::mutex recv_lock;
  std::uint32_t read_index = 0;
  // Messages in reassembly, by msg_id. One per handle rather than per thread: message ids are counted
  // per channel, so fragments of two channels received on one thread could share an id; and in the
  // Windows build (mingw-w64, winpthreads) destroying a thread_local table at thread exit corrupted
  // the heap (seen as a crash in 1 of 5 runs of the exit monitor, gone with this table).
  std::unordered_map<std::uint32_t, partial_message> partial;
  // The slot at read_index that a writer claimed and has not completed, and since when (see pop_one).
  bool stuck = false;
  std::uint32_t stuck_index = 0;
  std::chrono::steady_clock::time_point stuck_since;
};

namespace {

constexpr const char* source = "src/transport/channel";
constexpr std::uint64_t recv_wait_ms = 200;
constexpr std::uint32_t payload = layout::slot_payload;

// The counter that hands out conn_ids, one per namespace: a handle draws from its own channel's
// namespace, so that its id is unique among the handles that can meet it there.
// The counters stay open until the process ends.
std::atomic<std::uint32_t>* counter_view(shm::handle* counter) {
  return counter->valid() ? reinterpret_cast<std::atomic<std::uint32_t>*>(counter->get()) : nullptr;
}
std::atomic<std::uint32_t>* conn_counter(bool global) {
  if (global) {
    static shm::handle* const counter = new shm::handle("__CA_CONN__", sizeof(std::uint32_t), true);
    return counter_view(counter);
  }
  static shm::handle* const counter = new shm::handle("__CA_CONN__", sizeof(std::uint32_t), false);
  return counter_view(counter);
}

std::int32_t size_of_slot(const layout::message& m) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(m.remain) + payload);
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
  recycle_storage(hold->storage_id, size, hold->connections, hold->bit);
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

bool queue_slot(channel_state& h, std::uint32_t msg_id, std::int32_t remain, const void* data, std::uint32_t size,
                std::uint64_t timeout_ms, bool strict) {
  layout::queue* q = h.elems;
  const queue::slot_fields fields{h.conn_id, msg_id, remain, data, size};
  const bool queued = h.wt_waiter.wait_while([&] { return queue::push(*q, fields); }, timeout_ms);
  if (!queued) {
    if (strict) return false;
    log_sink(log_level_recovery, source, __LINE__, "force_push: msg_id = %zd, remain = %d, size = %zd\n",
             static_cast<std::ptrdiff_t>(msg_id), remain, static_cast<std::ptrdiff_t>(size));
    if (h.elems == nullptr) return false;
    if (!queue::force_push(*q, fields, clear_message)) return false;
  }
  h.rd_waiter.broadcast();
  return true;
}

bool send_message(channel_state* h, const void* data, std::uint64_t size, std::uint64_t timeout_ms, bool strict) {
  // A size the slots' 32-bit remain cannot express would arrive as garbage: refuse it like no data.
  if (data == nullptr || size == 0 || size > 0x7FFF'FFFFu) {
    log_sink(log_level_failure, source, __LINE__, "fail: send(%p, %zd)\n", data, static_cast<std::ptrdiff_t>(size));
    return false;
  }
  if (h == nullptr) {
    log_sink(log_level_failure, source, __LINE__, "fail: send, queue_of(h) == nullptr\n");
    return false;
  }
  if (h->elems == nullptr) {
    log_sink(log_level_failure, source, __LINE__, "fail: send, queue_of(h)->elems() == nullptr\n");
    return false;
  }
  const std::uint32_t connections = std::atomic_ref<std::uint32_t>(h->elems->connections).load();
  if (connections == 0) {
    log_sink(log_level_failure, source, __LINE__, "fail: send, there is no receiver on this connection.\n");
    return false;
  }
  if (!h->acc.valid()) {
    log_sink(log_level_failure, source, __LINE__, "fail: send, info_of(h)->acc() == nullptr\n");
    return false;
  }
  const std::uint32_t msg_id = std::atomic_ref<std::uint32_t>(*static_cast<std::uint32_t*>(h->acc.get())).fetch_add(1);
  const auto* bytes = static_cast<const std::byte*>(data);
  const auto total = static_cast<std::int32_t>(size);

  if (size > payload) {
    const storage_chunk chunk = allocate_storage(size, connections);
    if (chunk.data != nullptr) {
      std::memcpy(chunk.data, data, size);
      if (queue_slot(*h, msg_id, total - static_cast<std::int32_t>(payload), &chunk.id, 0, timeout_ms, strict)) {
        return true;
      }
      // Nobody will ever hear of this chunk: give it back rather than lose it from the pool.
      cancel_storage(chunk.id, size);
      return false;
    }
  }
  const std::uint64_t whole = size / payload;
  for (std::uint64_t i = 0; i < whole; ++i) {
    const auto offset = static_cast<std::int32_t>(payload * i);
    if (!queue_slot(*h, msg_id, total - static_cast<std::int32_t>(payload) - offset, bytes + offset, payload,
                    timeout_ms, strict)) {
      return false;
    }
  }
  const auto tail = static_cast<std::uint32_t>(size - payload * whole);
  if (tail == 0) return true;
  return queue_slot(*h, msg_id, static_cast<std::int32_t>(tail) - static_cast<std::int32_t>(payload),
                    bytes + payload * whole, tail, timeout_ms, strict);
}

// A writer completes a slot nanoseconds after claiming it; one that has not for this long died in
// between, and every receiver would wait on its slot for good.
constexpr std::chrono::milliseconds unwritten_slot_limit{1000};

// Called with recv_lock held.
bool pop_one(channel_state& h, layout::message& out) {
  const std::uint32_t bit = h.receiver_bit.load();
  if (bit == 0) return false;
  if (queue::pop(*h.elems, bit, h.read_index, out)) {
    h.stuck = false;
    return true;
  }
  if (!queue::claimed_unwritten(*h.elems, h.read_index)) {
    h.stuck = false;
    return false;
  }
  const auto now = std::chrono::steady_clock::now();
  if (!h.stuck || h.stuck_index != h.read_index) {
    h.stuck = true;
    h.stuck_index = h.read_index;
    h.stuck_since = now;
    return false;
  }
  if (now - h.stuck_since < unwritten_slot_limit) return false;
  h.stuck = false;
  const std::uint32_t index = h.read_index;
  if (queue::skip_unwritten(*h.elems, bit, h.read_index)) {
    log_sink(log_level_recovery, source, __LINE__, "skip: slot %u was claimed and never written\n",
             static_cast<unsigned>(index));
  }
  return queue::pop(*h.elems, bit, h.read_index, out);
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
  if (std::atomic<std::uint32_t>* counter = conn_counter(global)) h.conn_id = counter->fetch_add(1);
  const auto open_waiter = [&](waiter& w, const char* tag) {
    w.set_global(global);
    w.open(std::string(tag).append(name));
  };
  open_waiter(h.cc_waiter, "__CC_CONN__");
  open_waiter(h.wt_waiter, "__WT_CONN__");
  open_waiter(h.rd_waiter, "__RD_CONN__");
  h.acc.acquire(std::string("__AC_CONN__").append(name), sizeof(std::uint32_t), global);
  if (h.elems_mapping.acquire(layout::queue_name(name), sizeof(layout::queue), global)) {
    // A mapping made smaller than the queue by someone else is no queue.
    if (h.elems_mapping.size() >= sizeof(layout::queue)) {
      h.elems = static_cast<layout::queue*>(h.elems_mapping.get());
      queue::construct(*h.elems);
    }
  }
}

channel::~channel() {
  if (!state_) return;
  disconnect();
  channel_state& h = *state_;
  h.elems = nullptr;
  h.elems_mapping.release();
  h.acc.release();
  h.rd_waiter.close();
  h.wt_waiter.close();
  h.cc_waiter.close();
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
    return h.elems != nullptr;
  }
  if (h.elems == nullptr) return false;
  if (h.receiver_bit.load() == 0) {
    const std::lock_guard guard(h.recv_lock);
    const std::uint32_t bit = queue::connect_receiver(*h.elems, h.read_index);
    if (bit == 0) return false;
    h.receiver_bit.store(bit);
  }
  h.cc_waiter.broadcast();
  return true;
}

void channel::disconnect() {
  if (!state_) return;
  channel_state& h = *state_;
  // Taking the bit away stops recv's pops at once; stopping the waiters ends its wait; then it lets go
  // of the lock and the unread slots and the reassembly table can go.
  const std::uint32_t released = h.elems != nullptr ? h.receiver_bit.exchange(0) : 0;
  h.cc_waiter.stop();
  h.wt_waiter.stop();
  h.rd_waiter.stop();
  if (released != 0) {
    const std::lock_guard guard(h.recv_lock);
    queue::disconnect_receiver(*h.elems, released, h.read_index);
    h.partial.clear();
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
    log_sink(log_level_failure, source, __LINE__, "fail: recv, queue_of(h) == nullptr\n");
    return {};
  }
  channel_state& h = *state_;
  if (h.receiver_bit.load() == 0 || h.elems == nullptr) return {};
  const std::lock_guard guard(h.recv_lock);
  auto& table = h.partial;
  for (;;) {
    layout::message m{};
    bool taken = false;
    if (!h.rd_waiter.wait_while([&] { return taken = pop_one(h, m); }, wait_ms)) return {};
    if (!taken) return {};  // stopped
    h.wt_waiter.broadcast();
    if (h.acc.valid() && m.sender_id == h.conn_id) continue;  // our own message

    const std::int32_t r_size = size_of_slot(m);
    if (r_size <= 0) {
      log_sink(log_level_failure, source, __LINE__, "fail: recv, r_size = %d\n", r_size);
      return {};
    }
    const auto size = static_cast<std::uint64_t>(r_size);
    if (m.is_storage != 0) {
      std::int32_t id = 0;
      std::memcpy(&id, m.data, sizeof(id));
      void* data = find_storage(id, size);
      if (data == nullptr) {
        log_sink(log_level_recovery, source, __LINE__,
                 "fail: shm::handle for large message. msg_id: %zd, buf_id: %zd, size: %zd\n",
                 static_cast<std::ptrdiff_t>(m.msg_id), static_cast<std::ptrdiff_t>(id),
                 static_cast<std::ptrdiff_t>(size));
        continue;
      }
      auto* hold = new (std::nothrow)
          storage_hold{id, std::atomic_ref<std::uint32_t>(h.elems->connections).load(), h.receiver_bit.load()};
      if (hold == nullptr) {
        recycle_storage(id, size, std::atomic_ref<std::uint32_t>(h.elems->connections).load(), h.receiver_bit.load());
        continue;
      }
      return detail::recv_buffer_access::make(data, size, hold, release_stored);
    }

    const auto found = table.find(m.msg_id);
    if (found != table.end()) {
      partial_message& entry = found->second;
      entry.append(m.data, m.remain > 0 ? payload : size);
      if (m.remain > 0) continue;
      // Fragments that promised more than they brought are no message: padding the gap would let one
      // forged slot make every receiver fill and hand out up to 2 GiB of zeros.
      if (entry.broken || entry.fill < entry.whole) {
        if (!entry.broken) {
          log_sink(log_level_failure, source, __LINE__, "fail: recv, message %zd ended short: %zd of %zd bytes\n",
                   static_cast<std::ptrdiff_t>(m.msg_id), static_cast<std::ptrdiff_t>(entry.fill),
                   static_cast<std::ptrdiff_t>(entry.whole));
        }
        table.erase(found);
        continue;
      }
      recv_buffer done =
          detail::recv_buffer_access::make(std::exchange(entry.bytes, nullptr), entry.whole, nullptr, release_copied);
      table.erase(found);
      return done;
    }
    if (size <= payload) {
      recv_buffer single = copied_buffer(size);
      if (single.empty()) continue;
      std::memcpy(single.data(), m.data, size);
      return single;
    }
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
}

bool channel::valid() const { return state_ && state_->elems != nullptr; }

std::uint32_t channel::receiver_bit() const { return state_ ? state_->receiver_bit.load() : 0; }

std::uint32_t channel::conn_id() const { return state_ ? state_->conn_id : 0; }

std::size_t channel::partial_messages() const {
  if (!state_) return 0;
  const std::lock_guard guard(state_->recv_lock);
  return state_->partial.size();
}

}  // namespace ipc
