// Large-message pools: returns that miss the lock, free lists rebuilt around chunks in use, the largest
// pooled size, pools closed when nothing uses them, and a sender that sleeps on an empty pool.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <future>
#include <vector>

#include "support/log_capture.h"
#include "transport/channel_helpers.h"
#include "transport/waiter.h"

namespace {

using channel_test::ChannelPeers;
using channel_test::FreeIds;
using channel_test::Holds;
using channel_test::Pattern;
using channel_test::PrivateChunkSize;
using test_support::LogCapture;

bool HasLine(const std::vector<test_support::LoggedLine>& lines, int level, const std::string& start) {
  return std::any_of(lines.begin(), lines.end(),
                     [&](const auto& line) { return line.level == level && line.text.starts_with(start); });
}

bool PoolExists(std::uint64_t c) {
  ipc::shm::handle pool(true);
  return pool.open_existing(ipc::layout::chunk_info_name(c));
}

TEST(ChunkStorage, AReturnThatMissesThePoolLockIsMadeLater) {
  const std::uint64_t c = PrivateChunkSize(40);
  ChannelPeers peers("late-return");
  ASSERT_TRUE(peers.Ready());
  ipc::layout::chunk_info* info = ipc::chunk_storages(c);
  ASSERT_NE(info, nullptr);
  const auto first = Pattern(c - 8, 1);
  ASSERT_TRUE(peers.sender.send(first.data(), first.size(), 1000));
  ipc::recv_buffer held = peers.receiver().recv();
  ASSERT_TRUE(Holds(held, first));

  // Another process holds the pool's lock past the 200 ms a return waits for it.
  std::atomic_ref<std::uint32_t> lock(info->lock);
  lock.store(1);
  {
    const LogCapture capture;
    held.reset();
    EXPECT_TRUE(HasLine(LogCapture::Take(), ipc::log_level_recovery, "[push_free] pool lock not had in 200 ms"));
  }
  lock.store(0);

  // The next return this process makes brings the late one along.
  const auto second = Pattern(c - 8, 2);
  ASSERT_TRUE(peers.sender.send(second.data(), second.size(), 1000));
  EXPECT_TRUE(Holds(peers.receiver().recv(), second));
  EXPECT_EQ(FreeIds(c).size(), 32u);
}

TEST(ChunkStorage, ARebuiltFreeListHandsOutNoChunkInUse) {
  const std::uint64_t c = PrivateChunkSize(41);
  ChannelPeers peers("rebuilt-list");
  ASSERT_TRUE(peers.Ready());
  ASSERT_NE(ipc::chunk_storages(c), nullptr);
  std::vector<ipc::recv_buffer> held;
  for (std::uint32_t i = 0; i < 3; ++i) {
    const auto bytes = Pattern(c - 8, i);
    ASSERT_TRUE(peers.sender.send(bytes.data(), bytes.size(), 1000));
    held.push_back(peers.receiver().recv());
    ASSERT_TRUE(Holds(held.back(), bytes));
  }
  held[1].reset();  // the middle chunk back on the list, in front of ids that were never used
  std::vector<int> before = FreeIds(c);
  ASSERT_EQ(before.size(), 30u);

  // A link that points to itself: the list is broken and the next take rebuilds it.
  ipc::layout::chunk_info* info = ipc::chunk_storages(c);
  info->next[before.back()] = static_cast<std::uint8_t>(before.back());
  const auto next = Pattern(c - 8, 9);
  {
    const LogCapture capture;
    ASSERT_TRUE(peers.sender.send(next.data(), next.size(), 1000));
    EXPECT_TRUE(HasLine(LogCapture::Take(), ipc::log_level_recovery, "[id_pool::prepare] invalid free-list"));
  }
  held.push_back(peers.receiver().recv());
  ASSERT_TRUE(Holds(held.back(), next));

  // Three chunks are held; the rebuilt list has every other one, each once.
  std::vector<int> after = FreeIds(c);
  EXPECT_EQ(after.size(), 29u);
  std::sort(after.begin(), after.end());
  EXPECT_EQ(std::adjacent_find(after.begin(), after.end()), after.end());
  held.clear();
  EXPECT_EQ(FreeIds(c).size(), 32u);
}

TEST(ChunkStorage, AMessageAboveTheLargestPooledChunkGoesInFragments) {
  const std::uint64_t size = ipc::largest_pooled_chunk;  // its chunk, with the header, is one KiB larger
  const std::uint64_t c = ipc::layout::chunk_size_for(size);
  ASSERT_GT(c, ipc::largest_pooled_chunk);
  ChannelPeers peers("unpooled");
  ASSERT_TRUE(peers.Ready());
  EXPECT_EQ(ipc::chunk_storages(c), nullptr);
  const auto bytes = Pattern(size, 3);
  auto got = channel_test::RecvAsync(peers.receiver());
  ASSERT_TRUE(peers.sender.send(bytes.data(), bytes.size(), 10'000));
  EXPECT_TRUE(Holds(got.get(), bytes));
  EXPECT_EQ(peers.queue.last().msg.is_storage, 0);
  EXPECT_FALSE(PoolExists(c));

  // The largest pooled size still has its pool.
  const auto largest = Pattern(ipc::largest_pooled_chunk - 8, 4);
  ASSERT_TRUE(peers.sender.send(largest.data(), largest.size(), 1000));
  EXPECT_EQ(peers.queue.last().msg.is_storage, 1);
  EXPECT_TRUE(Holds(peers.receiver().recv(), largest));
}

TEST(ChunkStorage, APoolNothingUsesIsClosed) {
  const std::uint64_t c = PrivateChunkSize(42);
  ChannelPeers peers("closed-pool");
  ASSERT_TRUE(peers.Ready());
  const auto bytes = Pattern(c - 8, 5);
  ASSERT_TRUE(peers.sender.send(bytes.data(), bytes.size(), 1000));
  ipc::recv_buffer held = peers.receiver().recv();
  ASSERT_TRUE(Holds(held, bytes));

  // A chunk read in place keeps its pool open, and so does a chunk still with its receiver.
  ipc::close_unused_storage();
  EXPECT_TRUE(PoolExists(c));
  const std::size_t open = ipc::open_storage_count();
  held.reset();
  ipc::close_unused_storage();
  EXPECT_FALSE(PoolExists(c));
  EXPECT_LT(ipc::open_storage_count(), open);

  // The next message opens it again.
  ASSERT_TRUE(peers.sender.send(bytes.data(), bytes.size(), 1000));
  EXPECT_TRUE(Holds(peers.receiver().recv(), bytes));
}

// A sender that finds the pool empty while its chunks are out sleeps on the waiter that receivers wake
// when they take a message, and takes the chunk that came back when woken. Polling the pool instead
// would hand a busy processor over once per poll. The wait is bounded (20 ms), so a round the machine
// held the releasing thread back past it is tried again.
TEST(ChunkStorage, ASenderOnAnEmptyPoolSleepsUntilAReceiverTakesAMessage) {
  const std::uint64_t c = PrivateChunkSize(43);
  const std::uint64_t size = c - 8;
  ipc::waiter taken;
  ASSERT_TRUE(taken.open(test_support::Unique("pool-sleeper")));
  std::vector<std::int32_t> out;
  for (int i = 0; i < ipc::layout::chunk_count; ++i) {
    const ipc::storage_chunk chunk = ipc::allocate_storage(size, 1, {});
    ASSERT_NE(chunk.data, nullptr);
    out.push_back(chunk.id);
  }
  ASSERT_EQ(ipc::allocate_storage(size, 1, {}).data, nullptr);
  bool woke_with_chunk = false;
  for (int round = 0; round < 5 && !woke_with_chunk; ++round) {
    std::promise<void> asleep;
    std::atomic<bool> told{false};
    taken.set_step_hook_for_testing([&](ipc::wait_step step) {
      if (step == ipc::wait_step::announced && !told.exchange(true)) asleep.set_value();
    });
    auto sender = std::async(std::launch::async,
                             [&] { return ipc::allocate_storage(size, 1, std::chrono::milliseconds(1000), &taken); });
    // A sender that polls instead never sleeps on the waiter.
    ASSERT_EQ(asleep.get_future().wait_for(test_support::kChildDeadline), std::future_status::ready);
    const std::int32_t back = out.back();
    out.pop_back();
    ipc::release_chunk(back, size, 0);
    taken.broadcast();
    const ipc::storage_chunk got = sender.get();
    taken.set_step_hook_for_testing({});
    if (got.data == nullptr) {  // the release came after the sender's 20 ms: take the chunk out again
      const ipc::storage_chunk again = ipc::allocate_storage(size, 1, {});
      ASSERT_NE(again.data, nullptr);
      out.push_back(again.id);
      continue;
    }
    EXPECT_EQ(got.id, back);
    out.push_back(got.id);
    woke_with_chunk = true;
  }
  EXPECT_TRUE(woke_with_chunk);
  for (const std::int32_t id : out) ipc::release_chunk(id, size, 0);
  EXPECT_EQ(FreeIds(c).size(), 32u);
}

}  // namespace
