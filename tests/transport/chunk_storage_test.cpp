// Large-message pools: returns that miss the lock, free lists rebuilt around chunks in use, the largest
// pooled size, and pools closed when nothing uses them.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>

#include "support/log_capture.h"
#include "transport/channel_helpers.h"

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

}  // namespace
