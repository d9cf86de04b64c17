// A channel: a named meeting point where any number of senders hand byte strings to up to 32 receivers.
// Every message sent reaches every receiver connected at that moment, whole and in the order its sender
// sent it. Processes that open the same name with the same global flag meet the same channel (its
// shared objects and layouts are described in docs/channel.md).
//
// Failures are returned (false, an empty buffer) and reported through log_sink; nothing throws.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "spindrel/export.h"

namespace ipc {

namespace detail {
struct recv_buffer_access;
}  // namespace detail

// The result of channel::recv, owned by the caller. Empty (no data, size 0) when no message arrived.
// Its bytes stay valid until the buffer is destroyed or assigned to; destroying it gives back what it
// holds (a heap block, or a large message's place in shared storage). Move-only; usable from any
// thread, one at a time.
//
// A large message's bytes are not copied: they stay in shared memory that every other process of the
// machine can write, also while the caller reads them. A client copies them out before it checks or
// trusts them (the bus does), so that what it checked is what it uses.
class SPINDREL_API recv_buffer {
 public:
  // Called with extra when that is not null, otherwise with data, and the size.
  using release_fn = void (*)(void* target, std::uint64_t size);

  recv_buffer() = default;
  ~recv_buffer() { reset(); }

  recv_buffer(recv_buffer&& other) noexcept;
  recv_buffer& operator=(recv_buffer&& other) noexcept;
  recv_buffer(const recv_buffer&) = delete;
  recv_buffer& operator=(const recv_buffer&) = delete;

  [[nodiscard]] const void* data() const { return data_; }
  [[nodiscard]] void* data() { return data_; }
  [[nodiscard]] std::uint64_t size() const { return size_; }
  [[nodiscard]] bool empty() const { return data_ == nullptr; }

  // Runs the release now; the buffer is empty afterwards.
  void reset();

 private:
  // Only the transport fills a buffer.
  friend struct detail::recv_buffer_access;
  recv_buffer(void* data, std::uint64_t size, void* extra, release_fn release)
      : data_(data), size_(size), extra_(extra), release_(release) {}

  void* data_ = nullptr;
  std::uint64_t size_ = 0;
  void* extra_ = nullptr;
  release_fn release_ = nullptr;
};

struct channel_state;

// A process's handle of one channel. Opening never fails as a whole: a shared object that cannot be
// opened is reported and left out, and the operations that need it fail. Move-only; destroying the
// handle disconnects it and closes what it opened.
//
// One thread uses a handle at a time, with one exception: disconnect may be called from another thread
// while recv waits, and ends that wait with an empty buffer. A disconnected handle is not reused
// (connect again on a fresh handle).
class SPINDREL_API channel {
 public:
  enum class mode { receiver, sender };

  // name must not be empty. global chooses the "Global" namespace, otherwise the user's own.
  channel(std::string_view name, bool global);
  ~channel();
  channel(channel&& other) noexcept;
  channel& operator=(channel&& other) noexcept;
  channel(const channel&) = delete;
  channel& operator=(const channel&) = delete;

  // As a receiver: takes one of the 32 receiver places and sees every message sent from now on; false
  // when the queue could not be opened or all places are taken (call again later), and when the place
  // it took was evicted and taken by another receiver before the connect completed (logged). It may
  // wait up to a second for another receiver that is taking the same place at that moment. A handle
  // whose place was taken from it (see recv) takes a new one the same way. As a sender: true when the
  // queue is open (a handle that was a receiver gives up its place first).
  bool connect(mode m);
  // Gives up the receiver place, if any, and ends every wait on this channel in this process. A place
  // that was taken from the handle is left to whoever holds it now.
  void disconnect();

  // Sends size bytes to every connected receiver. Each 64-byte part of the message waits at most
  // timeout_ms (per sleep) for room; when the queue stays full, receivers that lag behind are evicted
  // and the message goes on. False for no data, no receiver, or no queue, and when receivers passed a
  // slot of the message over because this sender was held up between claiming and writing it long
  // enough to be taken for dead (it may then have reached some receivers).
  bool send(const void* data, std::uint64_t size, std::uint64_t timeout_ms);
  // As send, but never evicts: false when the queue stays full for the timeout. True means that the
  // message was written for every receiver connected when its slots were claimed.
  bool send_strict(const void* data, std::uint64_t size, std::uint64_t timeout_ms);

  // The next message from another handle, waiting up to 200 ms for each part of it. Empty when nothing
  // arrived, when the handle is not a receiver, or after disconnect. A handle that finds its place
  // taken from it (a sender evicted it, or the place was given up for it) logs that, forgets the place
  // and its partial messages, and from then on has receiver_bit() 0 until it connects again.
  recv_buffer recv();
  // As recv, waiting up to wait_ms for each part; with 0 it only takes what is already there.
  recv_buffer recv(std::uint64_t wait_ms);

  [[nodiscard]] bool valid() const;                  // the queue is mapped
  [[nodiscard]] std::uint32_t receiver_bit() const;  // 0 when not connected as receiver
  [[nodiscard]] std::uint32_t conn_id() const;
  // Messages whose first fragment arrived and whose last has not (a sender that died mid-message leaves
  // one behind until the table is pruned or the handle disconnects). Waits for a running recv.
  [[nodiscard]] std::size_t partial_messages() const;

 private:
  std::unique_ptr<channel_state> state_;
};

// Large messages travel in shared storage that lives only while some process holds it. Waits, at most
// timeout, until the receivers of every large message this process sent have released it, so that a
// process may exit right after sending. Runs by itself (with 500 ms) when the process exits normally;
// call it earlier at a teardown that must not lose messages. Returns true when nothing is outstanding.
SPINDREL_API bool settle_sent_storage(std::chrono::milliseconds timeout);

// Closes the large-message storage this process no longer uses (none of its messages still waits for a
// receiver, none is read in place). Idle storage also closes by itself after two seconds without use (at
// this process's next large message) and at exit; call it at a teardown. Thread-safe.
SPINDREL_API void close_unused_storage();

}  // namespace ipc
