// Helpers for the channel tests: a channel set up with its peers, a look at its shared bytes, and pools
// of a chunk size no other test process uses.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <future>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "platform/child_process.h"
#include "platform/named_sync.h"
#include "platform/process.h"
#include "spindrel/transport/channel.h"
#include "support/test_support.h"
#include "transport/channel_layout.h"
#include "transport/chunk_storage.h"
#include "transport/shm.h"

namespace channel_test {

// Pools are Global and shared by every process of the machine; a test that inspects, drains or damages
// one uses a chunk size of its own: a multiple of 1024 in [first_kib, first_kib + count_kib) KiB that
// this process claims, for its lifetime, by owning a Global mutex named after it. A size another live
// process owns is passed over, so test processes running side by side never share a pool. The same
// tag gives the same size again.
inline std::uint64_t ClaimChunkSize(std::uint32_t tag, std::uint32_t first_kib, std::uint32_t count_kib) {
  static std::mutex lock;
  static std::map<std::pair<std::uint32_t, std::uint32_t>, std::uint64_t> claimed;  // (tag, first_kib)
  static std::vector<platform::NamedObject> owned;
  const std::lock_guard guard(lock);
  const auto key = std::make_pair(tag, first_kib);
  if (const auto found = claimed.find(key); found != claimed.end()) return found->second;
  const std::uint32_t start = platform::CurrentProcessId() * 31 + tag * 7;
  for (std::uint32_t step = 0; step < count_kib; ++step) {
    const std::uint64_t size = 1024 * (first_kib + (start + step) % count_kib);
    if (std::any_of(claimed.begin(), claimed.end(), [&](const auto& entry) { return entry.second == size; })) continue;
    platform::ErrorCode error = 0;
    platform::NamedObject mutex = platform::CreateNamedMutex("Global\\spd-test-chunk-" + std::to_string(size), error);
    if (!mutex) continue;
    const platform::WaitResult taken = platform::LockNamedMutex(mutex, 0, error);
    if (taken != platform::WaitResult::kSignaled && taken != platform::WaitResult::kAbandoned) continue;
    owned.push_back(std::move(mutex));
    claimed.emplace(key, size);
    return size;
  }
  ADD_FAILURE() << "no chunk size left in " << first_kib << " KiB + " << count_kib;
  return 1024 * first_kib;
}

inline std::uint64_t PrivateChunkSize(std::uint32_t tag) { return ClaimChunkSize(tag, 3, 1000); }

// The shared queue of channel name, mapped once more.
class QueueView {
 public:
  QueueView(const std::string& name, bool global)
      : mapping_(ipc::layout::queue_name(name), sizeof(ipc::layout::queue), global) {}
  [[nodiscard]] bool valid() const { return mapping_.valid(); }
  ipc::layout::queue& operator*() const { return *static_cast<ipc::layout::queue*>(mapping_.get()); }
  ipc::layout::queue* operator->() const { return &**this; }
  [[nodiscard]] std::uint32_t write_index() const {
    return std::atomic_ref<std::uint32_t>((**this).write_index).load();
  }
  [[nodiscard]] std::uint32_t connections() const {
    return std::atomic_ref<std::uint32_t>((**this).connections).load();
  }
  // The slot written last.
  [[nodiscard]] const ipc::layout::slot& last() const {
    return (**this).slots[(write_index() - 1) % ipc::layout::slot_count];
  }
  [[nodiscard]] const ipc::layout::slot& back(std::uint32_t n) const {
    return (**this).slots[(write_index() - n) % ipc::layout::slot_count];
  }

 private:
  ipc::shm::handle mapping_;
};

// The writers' claims of channel name, mapped once more.
class ClaimsView {
 public:
  ClaimsView(const std::string& name, bool global)
      : mapping_(ipc::layout::claims_name(name), sizeof(ipc::layout::claims), global) {}
  [[nodiscard]] bool valid() const { return mapping_.valid(); }
  // The entry of the slot of write index w.
  [[nodiscard]] std::atomic_ref<std::uint64_t> entry(std::uint32_t w) const {
    auto* claims = static_cast<ipc::layout::claims*>(mapping_.get());
    return std::atomic_ref<std::uint64_t>(claims->entries[w % ipc::layout::slot_count]);
  }

 private:
  ipc::shm::handle mapping_;
};

// A local channel of the test's own as most tests start it: receiver_count handles connected as
// receivers, then one connected sender, and the queue mapped once more. Check Ready() first.
struct ChannelPeers {
  explicit ChannelPeers(const std::string& tag, std::size_t receiver_count = 1)
      : name(test_support::Unique(tag)), sender(name, false), queue(name, false) {
    receivers.reserve(receiver_count);
    for (std::size_t i = 0; i < receiver_count; ++i) {
      receivers.emplace_back(name, false).connect(ipc::channel::mode::receiver);
    }
    sender.connect(ipc::channel::mode::sender);
  }

  [[nodiscard]] testing::AssertionResult Ready() const {
    for (std::size_t i = 0; i < receivers.size(); ++i) {
      if (receivers[i].receiver_bit() == 0) return testing::AssertionFailure() << "receiver " << i << " not connected";
    }
    if (!sender.valid() || !queue.valid()) return testing::AssertionFailure() << "no queue for " << name;
    return testing::AssertionSuccess();
  }
  ipc::channel& receiver() { return receivers.front(); }

  // The first receiver, the sender and the queue, for a test to name at once:
  //   auto [receiver, sender, queue] = peers.parts();
  struct Parts {
    ipc::channel& receiver;
    ipc::channel& sender;
    const QueueView& queue;
  };
  Parts parts() { return {receiver(), sender, queue}; }

  const std::string name;
  std::vector<ipc::channel> receivers;
  ipc::channel sender;
  const QueueView queue;
};

// Fills the queue for a receiver that does not read, then forces one more write over its oldest slot:
// that evicts it, and with nobody left the forced send fails.
inline testing::AssertionResult FillAndForce(ipc::channel& sender) {
  for (std::uint32_t i = 0; i < ipc::layout::slot_count; ++i) {
    if (!sender.send(&i, sizeof(i), 5)) return testing::AssertionFailure() << "send " << i << " failed";
  }
  if (sender.send("forced", 6, 5)) return testing::AssertionFailure() << "the forced send found a receiver";
  return testing::AssertionSuccess();
}

// The ids on a pool's free list, in order; stops after 64 links.
inline std::vector<int> FreeIds(std::uint64_t chunk_size) {
  std::vector<int> ids;
  ipc::layout::chunk_info* info = ipc::chunk_storages(chunk_size);
  if (info == nullptr) return ids;
  for (int at = info->cursor; at < ipc::layout::chunk_count && ids.size() < 64; at = info->next[at]) ids.push_back(at);
  return ids;
}

inline std::vector<std::uint8_t> Pattern(std::size_t size, std::uint32_t seed) {
  std::vector<std::uint8_t> bytes(size);
  std::uint32_t x = seed * 2654435761u + 1;
  for (auto& b : bytes) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    b = static_cast<std::uint8_t>(x);
  }
  return bytes;
}

inline bool Holds(const ipc::recv_buffer& buffer, const std::vector<std::uint8_t>& expected) {
  return !buffer.empty() && buffer.size() == expected.size() &&
         std::equal(expected.begin(), expected.end(), static_cast<const std::uint8_t*>(buffer.data()));
}

// Receives one message on another thread, for sends longer than the queue (a fragmented message of
// more than 256 slots needs a reader while it is written).
inline std::future<ipc::recv_buffer> RecvAsync(ipc::channel& receiver) {
  return std::async(std::launch::async, [&receiver] {
    for (int attempt = 0; attempt < 50; ++attempt) {
      ipc::recv_buffer got = receiver.recv();
      if (!got.empty()) return got;
    }
    return ipc::recv_buffer();
  });
}

// Polls until pred holds; false after the deadline.
template <typename Pred>
bool Await(Pred pred, std::chrono::milliseconds limit = test_support::kChildDeadline) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!pred()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// The Windows build runs under Wine, where every system call is a round trip to the server.
inline constexpr bool kWindowsBuild = std::string_view(SPINDREL_EXECUTABLE_SUFFIX) == ".exe";

}  // namespace channel_test
