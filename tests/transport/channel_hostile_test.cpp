// Shared memory is writable by every local user: whatever lands in a channel's mappings, a process
// that uses the channel neither crashes nor touches memory outside its mappings, and good messages
// still get through.
#include "spindrel/transport/channel.h"

#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <cstring>

#include "support/log_capture.h"
#include "support/test_support.h"
#include "transport/channel_helpers.h"
#include "transport/queue.h"

namespace {

using namespace std::chrono_literals;
using channel_test::ChannelPeers;
using channel_test::FreeIds;
using channel_test::Holds;
using channel_test::Pattern;
using channel_test::PrivateChunkSize;
using channel_test::QueueView;
using ipc::channel;
using test_support::LogCapture;
using test_support::Unique;

constexpr std::string_view kGoodSmall = "good";

// Receives on channel arguments[0] until both good messages came: the small one and a large one of
// arguments[1] bytes. Exit code 0 then, 3 when the deadline passed first.
const bool kReceiverRole =
    test_support::RegisterChildRole("channel-hostile-receiver", [](const std::vector<std::string>& arguments) {
      channel receiver(arguments.at(0), false);
      if (!receiver.connect(channel::mode::receiver)) return 1;
      const auto large = Pattern(std::stoul(arguments.at(1)), 11);
      bool small_seen = false;
      bool large_seen = false;
      const auto deadline = std::chrono::steady_clock::now() + test_support::kChildDeadline;
      while (!(small_seen && large_seen) && std::chrono::steady_clock::now() < deadline) {
        const ipc::recv_buffer got = receiver.recv();
        if (got.empty()) continue;
        small_seen |= got.size() == kGoodSmall.size() && std::memcmp(got.data(), kGoodSmall.data(), got.size()) == 0;
        large_seen |= Holds(got, large);
      }
      return small_seen && large_seen ? 0 : 3;
    });

ipc::queue::slot_fields Storage(std::int32_t* id, std::int32_t remain, std::uint32_t msg_id) {
  return {0xBAD0'0000u, msg_id, remain, id, 0};
}

TEST(ChannelHostileBytes, AReceiverSurvivesGarbageAndGetsTheNextGoodMessage) {
  const std::uint64_t c = PrivateChunkSize(11);
  const std::uint64_t tiny = PrivateChunkSize(12);
  const std::string name = Unique("hostile");
  channel sender(name, false);
  ASSERT_TRUE(sender.connect(channel::mode::sender));
  const QueueView queue(name, false);
  // A pool made smaller than its layout by someone else.
  const ipc::shm::handle undersized(ipc::layout::chunk_info_name(tiny), 4096, true);
  ASSERT_TRUE(undersized.valid());

  auto child = test_support::StartChild("channel-hostile-receiver", {name, std::to_string(c - 8)});
  ASSERT_TRUE(child);
  ASSERT_TRUE(channel_test::Await([&] { return queue.connections() != 0; }));

  std::int32_t id = 0;
  std::uint32_t msg_id = 0xDEAD'0000u;
  const auto push = [&](const ipc::queue::slot_fields& fields) {
    ASSERT_EQ(ipc::queue::push(*queue, fields, ipc::queue::unrecorded), ipc::queue::pushed::written);
  };
  for (const std::int32_t bad_id : {33, -5, INT_MAX, INT_MIN}) {
    id = bad_id;
    push(Storage(&id, 100, ++msg_id));
  }
  id = 3;
  push(Storage(&id, INT_MAX - 10, ++msg_id));                          // a size that wraps negative
  push(Storage(&id, (1 << 28) - 64, ++msg_id));                        // a pool too large to exist
  push(Storage(&id, static_cast<std::int32_t>(tiny) - 72, ++msg_id));  // the undersized pool
  id = 2;
  push(Storage(&id, static_cast<std::int32_t>(c) - 72, ++msg_id));  // a chunk nobody filled
  const auto bytes = Pattern(64, 5);
  push({0xBAD0'0000u, ++msg_id, -64, bytes.data(), 64});  // zero bytes
  push({0xBAD0'0000u, ++msg_id, INT_MIN, bytes.data(), 64});
  push({0xBAD0'0000u, ++msg_id, (1 << 28) - 64, bytes.data(), 64});  // a huge message never finished
  push({0xBAD0'0000u, ++msg_id, 100, bytes.data(), 64});             // promises 164 bytes ...
  push({0xBAD0'0000u, msg_id, -1, bytes.data(), 63});                // ... delivers 127

  // The header and the slots ahead of the writers: ghost receivers, a strange generation, slots that
  // look taken.
  std::atomic_ref<std::uint32_t>(queue->connections).fetch_or(0xC000'0000u);
  std::atomic_ref<std::uint64_t>(queue->generation).store(0xAB00'0000'0000'0055ull);
  const std::uint32_t w = queue.write_index();
  std::atomic_ref<std::uint64_t>(queue->slots[(w + 2) % 256].read_state).store(~0ull);
  std::atomic_ref<std::uint64_t>(queue->slots[(w + 3) % 256].commit).store(12345);

  // The private pool: a cursor past the end and links everywhere.
  ipc::layout::chunk_info* info = ipc::chunk_storages(c);
  ASSERT_NE(info, nullptr);
  info->prepared = 1;
  info->cursor = 200;
  for (auto& link : info->next) link = 77;

  const LogCapture capture;
  const auto large = Pattern(c - 8, 11);
  ASSERT_TRUE(sender.send(large.data(), large.size(), 50));
  ASSERT_TRUE(sender.send(kGoodSmall.data(), kGoodSmall.size(), 50));
  EXPECT_EQ(child->Wait(test_support::kChildDeadline), 0);
  const auto lines = LogCapture::Take();
  EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const auto& line) {
    return line.level == ipc::log_level_recovery &&
           line.text == "[id_pool::prepare] invalid free-list detected, rebuild pool.";
  }));
}

// Mend: the receiver used to create the pool a forged storage slot named (up to 4 GiB, held until it
// exited) and hand out its zeros as a message.
TEST(ChannelHostileBytes, AStorageSlotNamingAPoolNobodyMadeIsDroppedAndMakesNoPool) {
  const std::uint64_t c = PrivateChunkSize(15);
  ChannelPeers peers("no-pool");
  ASSERT_TRUE(peers.Ready());
  auto [receiver, sender, queue] = peers.parts();
  std::int32_t id = 4;
  ASSERT_EQ(
      ipc::queue::push(*queue, Storage(&id, static_cast<std::int32_t>(c) - 72, 0xDEAD'0100u), ipc::queue::unrecorded),
      ipc::queue::pushed::written);
  ASSERT_TRUE(sender.send(kGoodSmall.data(), kGoodSmall.size(), 50));

  const ipc::recv_buffer got = receiver.recv(0);
  ASSERT_FALSE(got.empty());
  EXPECT_EQ(std::string_view(static_cast<const char*>(got.data()), got.size()), kGoodSmall);
  ipc::shm::handle pool(true);
  EXPECT_FALSE(pool.open_existing(ipc::layout::chunk_info_name(c)));
}

// Mend: fragments that promised more than they brought used to be padded with zeros, so one forged pair
// of slots made every receiver take, fill and hand out up to 2 GiB.
TEST(ChannelHostileBytes, FragmentsThatFallShortAreDroppedNotPadded) {
  ChannelPeers peers("short");
  ASSERT_TRUE(peers.Ready());
  auto [receiver, sender, queue] = peers.parts();
  const auto bytes = Pattern(64, 6);
  ASSERT_EQ(
      ipc::queue::push(*queue, {0xBAD0'0000u, 0xDEAD'0200u, (1 << 28) - 64, bytes.data(), 64}, ipc::queue::unrecorded),
      ipc::queue::pushed::written);
  ASSERT_EQ(ipc::queue::push(*queue, {0xBAD0'0000u, 0xDEAD'0200u, -1, bytes.data(), 63}, ipc::queue::unrecorded),
            ipc::queue::pushed::written);
  ASSERT_TRUE(sender.send(kGoodSmall.data(), kGoodSmall.size(), 50));

  const LogCapture capture;
  const ipc::recv_buffer got = receiver.recv(0);
  ASSERT_FALSE(got.empty());
  EXPECT_EQ(std::string_view(static_cast<const char*>(got.data()), got.size()), kGoodSmall);
  const auto lines = LogCapture::Take();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].text,
            "fail: recv, message " + std::to_string(0xDEAD'0200u) + " ended short: 127 of 268435456 bytes\n");
}

TEST(ChannelHostileBytes, ACycleInAFreeListIsRebuiltWithOneLine) {
  const std::uint64_t c = PrivateChunkSize(13);
  ChannelPeers peers("cycle");
  ASSERT_TRUE(peers.Ready());
  channel& receiver = peers.receiver();
  channel& sender = peers.sender;
  ipc::layout::chunk_info* info = ipc::chunk_storages(c);
  ASSERT_NE(info, nullptr);
  info->prepared = 1;
  info->cursor = 0;
  info->next[0] = 1;
  info->next[1] = 0;

  const auto large = Pattern(c - 8, 13);
  {
    const LogCapture capture;
    ASSERT_TRUE(sender.send(large.data(), large.size(), 50));
    const auto lines = LogCapture::Take();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].level, ipc::log_level_recovery);
    EXPECT_EQ(lines[0].text, "[id_pool::prepare] invalid free-list detected, rebuild pool.");
  }
  EXPECT_TRUE(Holds(receiver.recv(), large));
  EXPECT_EQ(FreeIds(c).size(), 32u);
  {
    const LogCapture capture;
    ASSERT_TRUE(sender.send(large.data(), large.size(), 50));  // a sound list is left alone
    EXPECT_TRUE(LogCapture::Take().empty());
  }
  EXPECT_TRUE(Holds(receiver.recv(), large));
}

TEST(ChannelHostileBytes, AnUndersizedPoolIsNotUsedAndTheMessageGoesInFragments) {
  const std::uint64_t c = PrivateChunkSize(14);
  const ipc::shm::handle undersized(ipc::layout::chunk_info_name(c), 4096, true);
  ASSERT_TRUE(undersized.valid());
  ChannelPeers peers("undersized");
  ASSERT_TRUE(peers.Ready());
  auto [receiver, sender, queue] = peers.parts();
  const auto large = Pattern(c - 8, 14);
  const LogCapture capture;
  const std::uint32_t before = queue.write_index();
  auto got = channel_test::RecvAsync(receiver);
  ASSERT_TRUE(sender.send(large.data(), large.size(), 50));
  EXPECT_TRUE(Holds(got.get(), large));
  EXPECT_EQ(queue.write_index() - before, (large.size() + 63) / 64);
  const auto lines = LogCapture::Take();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines[0].text,
            "[chunk_storages] chunk_shm.id_info_.acquire failed: chunk_size = " + std::to_string(c) + "\n");
}

TEST(ChannelHostileBytes, AQueueMappingSmallerThanTheQueueIsNotUsed) {
  const std::string name = Unique("small-queue");
  const ipc::shm::handle squatter(ipc::layout::queue_name(name), 4096, false);
  ASSERT_TRUE(squatter.valid());
  channel handle(name, false);
  EXPECT_FALSE(handle.valid());
  EXPECT_FALSE(handle.connect(channel::mode::receiver));
  const LogCapture capture;
  EXPECT_FALSE(handle.send("x", 1, 0));
  EXPECT_EQ(LogCapture::Take().at(0).text, "fail: send, queue_of(h)->elems() == nullptr\n");
}

}  // namespace
