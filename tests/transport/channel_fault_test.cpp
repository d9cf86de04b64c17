// Peers that die at the worst moment, as real processes killed from outside: a sender between the
// fragments of a message, a receiver that never reads again, a holder of a waiter's locks, and every
// process of a channel at once. Whoever is left must go on.
#include "spindrel/transport/channel.h"

#include <gtest/gtest.h>

#include <bit>
#include <chrono>
#include <cstring>
#include <thread>

#include "support/log_capture.h"
#include "support/shared_word.h"
#include "support/test_support.h"
#include "transport/channel_helpers.h"
#include "transport/queue.h"
#include "transport/waiter.h"

namespace {

using namespace std::chrono_literals;
using channel_test::Await;
using channel_test::ChannelPeers;
using channel_test::FreeIds;
using channel_test::Holds;
using channel_test::Pattern;
using channel_test::QueueView;
using ipc::channel;
using test_support::Unique;
using test_support::Word;

constexpr auto kReceiver = channel::mode::receiver;
constexpr auto kSender = channel::mode::sender;

// A pool of its own whose messages need more fragments than the queue has slots, so that a sender of
// one blocks half way through when nobody reads.
std::uint64_t LargePrivateChunkSize(std::uint32_t tag) { return channel_test::ClaimChunkSize(tag, 24, 40); }

// Takes every chunk of the pool for chunk size c, so that the next message of that size goes in
// fragments. The buffers hold the chunks until they are destroyed.
std::vector<ipc::recv_buffer> DrainPool(channel& sender, channel& receiver, std::uint64_t c) {
  std::vector<ipc::recv_buffer> held;
  for (int i = 0; i < ipc::layout::chunk_count; ++i) {
    const auto bytes = Pattern(c - 8, i);
    EXPECT_TRUE(sender.send(bytes.data(), bytes.size(), 100));
    held.push_back(receiver.recv());
    EXPECT_TRUE(Holds(held.back(), bytes));
  }
  EXPECT_TRUE(FreeIds(c).empty());
  return held;
}

// Sends one message of arguments[1] bytes (pattern 7) on channel arguments[0], waiting as long as it
// takes for room: killed while it waits.
const bool kSplitSenderRole =
    test_support::RegisterChildRole("fault-split-sender", [](const std::vector<std::string>& arguments) {
      channel out(arguments.at(0), false);
      if (!out.connect(kSender)) return 1;
      const auto bytes = Pattern(std::stoul(arguments.at(1)), 7);
      return out.send_strict(bytes.data(), bytes.size(), 60'000) ? 0 : 2;
    });

TEST(ChannelFault, ASenderKilledBetweenFragmentsLeavesTheReceiverWorking) {
  const std::uint64_t c = LargePrivateChunkSize(1);
  const std::uint64_t size = c - 8;
  ChannelPeers peers("killed-split");
  ASSERT_TRUE(peers.Ready());
  const std::string& name = peers.name;
  auto [receiver, sender, queue] = peers.parts();
  std::vector<ipc::recv_buffer> held = DrainPool(sender, receiver, c);

  const std::uint32_t before = queue.write_index();
  auto child = test_support::StartChild("fault-split-sender", {name, std::to_string(size)});
  ASSERT_TRUE(child);
  // The queue is full of its fragments, and the message is longer than that: it waits for room.
  ASSERT_TRUE(Await([&] { return queue.write_index() - before == ipc::layout::slot_count; }));
  ASSERT_FALSE(child->Wait(0ms).has_value());
  child->Kill();

  EXPECT_TRUE(receiver.recv().empty());  // reads every fragment there is; the last never comes
  EXPECT_EQ(receiver.partial_messages(), 1u);

  const auto small = Pattern(40, 1);
  const auto split = Pattern(size, 2);
  auto got = channel_test::RecvAsync(receiver);
  ASSERT_TRUE(sender.send(split.data(), split.size(), 1000));
  EXPECT_TRUE(Holds(got.get(), split));
  ASSERT_TRUE(sender.send(small.data(), small.size(), 1000));
  EXPECT_TRUE(Holds(receiver.recv(), small));
  EXPECT_EQ(receiver.partial_messages(), 1u);

  held.clear();
  EXPECT_EQ(FreeIds(c).size(), 32u);
  receiver.disconnect();
  EXPECT_EQ(receiver.partial_messages(), 0u);
}

// What many senders dying mid-message would leave: first fragments whose rest never comes. Once the
// channel's traffic has moved far past them, they go.
TEST(ChannelFault, AbandonedMessagesArePrunedOnceTrafficMovesOn) {
  const std::string name = Unique("abandoned");
  channel receiver(name, false);
  ASSERT_TRUE(receiver.connect(kReceiver));
  const QueueView queue(name, false);
  const auto bytes = Pattern(200, 3);
  const auto push = [&](std::uint32_t sender_id, std::uint32_t msg_id, int offset, std::uint32_t part) {
    const ipc::queue::slot_fields fields{sender_id, msg_id, 200 - 64 - offset, bytes.data() + offset, part};
    return ipc::queue::push(*queue, fields, ipc::queue::unrecorded) == ipc::queue::pushed::written;
  };

  constexpr std::uint32_t kAbandoned = 1100;
  for (std::uint32_t i = 0; i < kAbandoned;) {
    for (std::uint32_t batch = 0; batch < 200 && i < kAbandoned; ++batch, ++i) {
      ASSERT_TRUE(push(0x7000'0000 + i, 100'000 + i, 0, 64));
    }
    EXPECT_TRUE(receiver.recv().empty());
  }
  EXPECT_EQ(receiver.partial_messages(), kAbandoned);

  const std::uint32_t later = 100'000 + kAbandoned + 20'000;
  const std::uint32_t other = receiver.conn_id() ^ 0x8000'0000u;  // not the receiver's own id
  ASSERT_TRUE(push(other, later, 0, 64));
  ASSERT_TRUE(push(other, later, 64, 64));
  ASSERT_TRUE(push(other, later, 128, 64));
  ASSERT_TRUE(push(other, later, 192, 8));
  EXPECT_TRUE(Holds(receiver.recv(), bytes));
  EXPECT_EQ(receiver.partial_messages(), 0u);
}

// Mend: a sender killed after it claimed a slot (moved write_index past it) and before it marked the
// write complete left a slot that never completes. Every receiver waited on it for good, and a strict
// sender found the queue full for good once it came round again.
TEST(ChannelFault, ASlotClaimedByASenderThatDiedIsSkippedAfterAWhile) {
  ChannelPeers peers("dead-claim");
  ASSERT_TRUE(peers.Ready());
  auto [receiver, sender, queue] = peers.parts();
  ASSERT_TRUE(sender.send("before", 6, 100));
  EXPECT_EQ(receiver.recv().size(), 6u);

  // What the dead sender left: the slot's mask claimed for every receiver, write_index past it, the
  // slot's commit as it was.
  const std::uint32_t claimed = queue.write_index();
  ipc::layout::slot& slot = queue->slots[claimed % ipc::layout::slot_count];
  const std::uint64_t generation = std::atomic_ref<std::uint64_t>(queue->generation).load();
  std::atomic_ref<std::uint64_t>(slot.read_state)
      .store((generation & ipc::layout::stamp_mask) |
             ((slot.read_state + ipc::layout::counter_one) & ipc::layout::counter_mask) | queue.connections());
  std::atomic_ref<std::uint32_t>(queue->write_index).store(claimed + 1);

  const test_support::LogCapture capture;
  for (std::uint32_t i = 0; i < 3; ++i) ASSERT_TRUE(sender.send(&i, sizeof(i), 100));
  std::uint32_t next = 0;
  ASSERT_TRUE(Await(
      [&] {
        const ipc::recv_buffer got = receiver.recv();
        if (got.empty()) return false;
        EXPECT_TRUE(got.size() == sizeof(next) && std::memcmp(got.data(), &next, sizeof(next)) == 0) << next;
        return ++next == 3;
      },
      10s));
  const auto lines = test_support::LogCapture::Take();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].level, ipc::log_level_recovery);
  EXPECT_EQ(lines[0].text,
            "skip: slot " + std::to_string(claimed) + " was claimed and never written (nobody recorded its writer)\n");

  // A whole turn of the queue with strict sends: the skipped slot does not block them.
  auto reader = std::async(std::launch::async, [&] {
    const auto deadline = std::chrono::steady_clock::now() + test_support::kChildDeadline;
    std::uint32_t i = 0;
    while (i < 2 * ipc::layout::slot_count && std::chrono::steady_clock::now() < deadline) {
      const ipc::recv_buffer got = receiver.recv();
      if (got.empty()) continue;
      if (!Holds(got, Pattern(20, i))) break;
      ++i;
    }
    return i;
  });
  for (std::uint32_t i = 0; i < 2 * ipc::layout::slot_count; ++i) {
    const auto bytes = Pattern(20, i);
    ASSERT_TRUE(sender.send_strict(bytes.data(), bytes.size(), 2000)) << i;
  }
  EXPECT_EQ(reader.get(), 2 * ipc::layout::slot_count);
  EXPECT_EQ(queue.connections(), receiver.receiver_bit());
}

// Connects as a receiver on channel arguments[0], raises the flag arguments[1] and never reads.
const bool kIdleReceiverRole =
    test_support::RegisterChildRole("fault-idle-receiver", [](const std::vector<std::string>& arguments) {
      channel in(arguments.at(0), false);
      const ipc::shm::handle flag(arguments.at(1), 4);
      if (!flag.valid() || !in.connect(kReceiver)) return 1;
      Word(flag).store(1);
      return test_support::SleepUntilKilled();
    });

// Connects as a receiver on channel arguments[0], raises the flag arguments[1], and expects exactly
// the messages Pattern(8 + i, i) for i below arguments[2], in order.
const bool kCountingReceiverRole =
    test_support::RegisterChildRole("fault-counting-receiver", [](const std::vector<std::string>& arguments) {
      channel in(arguments.at(0), false);
      const ipc::shm::handle flag(arguments.at(1), 4);
      if (!flag.valid() || !in.connect(kReceiver)) return 1;
      Word(flag).store(1);
      const auto count = static_cast<std::uint32_t>(std::stoul(arguments.at(2)));
      const auto deadline = std::chrono::steady_clock::now() + test_support::kChildDeadline;
      for (std::uint32_t i = 0; i < count;) {
        if (std::chrono::steady_clock::now() > deadline) return 2;
        const ipc::recv_buffer got = in.recv();
        if (got.empty()) continue;
        if (!Holds(got, Pattern(8 + i, i))) return 3;
        ++i;
      }
      return 0;
    });

TEST(ChannelFault, AReceiverKilledWhileConnectedIsEvictedAndANewOneGetsTheNextMessages) {
  ChannelPeers peers("killed-receiver");
  ASSERT_TRUE(peers.Ready());
  const std::string& name = peers.name;
  auto [live, sender, queue] = peers.parts();
  const ipc::shm::handle flag(Unique("killed-receiver-flag"), 4);

  auto dead = test_support::StartChild("fault-idle-receiver", {name, flag.name()});
  ASSERT_TRUE(dead);
  ASSERT_TRUE(Await([&] { return Word(flag).load() == 1; }));
  const std::uint32_t dead_bit = queue.connections() & ~live.receiver_bit();
  ASSERT_EQ(std::popcount(dead_bit), 1);
  dead->Kill();

  // More than a turn of the queue: the dead receiver's unread slot comes round and is forced.
  constexpr std::uint32_t kMessages = 2 * ipc::layout::slot_count;
  // The sender waits out its timeout before it forces the slot, and our receive may time out first.
  // The timeout is what the live receiver may lag before it is evicted too: a loaded machine (Wine
  // under a parallel test run) has held it up for more than 200 ms.
  constexpr std::uint64_t kForceAfterMs = 1000;
  auto reader = std::async(std::launch::async, [&] {
    const auto deadline = std::chrono::steady_clock::now() + test_support::kChildDeadline;
    for (std::uint32_t i = 0; i < kMessages && std::chrono::steady_clock::now() < deadline;) {
      const ipc::recv_buffer got = live.recv();
      if (got.empty()) continue;
      if (!Holds(got, Pattern(16, i))) return i;
      ++i;
      if (i == kMessages) return i;
    }
    return std::uint32_t{0};
  });
  for (std::uint32_t i = 0; i < kMessages; ++i) {
    const auto bytes = Pattern(16, i);
    ASSERT_TRUE(sender.send(bytes.data(), bytes.size(), kForceAfterMs)) << i;
  }
  EXPECT_EQ(reader.get(), kMessages);
  EXPECT_EQ(queue.connections(), live.receiver_bit());

  Word(flag).store(0);
  auto fresh = test_support::StartChild("fault-counting-receiver", {name, flag.name(), "300"});
  ASSERT_TRUE(fresh);
  ASSERT_TRUE(Await([&] { return Word(flag).load() == 1; }));
  live.disconnect();  // the newcomer alone now, so a full queue waits for it rather than for us
  for (std::uint32_t i = 0; i < 300; ++i) {
    const auto bytes = Pattern(8 + i, i);
    ASSERT_TRUE(sender.send_strict(bytes.data(), bytes.size(), 10'000)) << i;
  }
  EXPECT_EQ(fresh->Wait(test_support::kChildDeadline), 0);
}

TEST(ChannelFault, AWaitersLocksLeftByKilledProcessesAreTakenOverByTheNextWaiter) {
  const std::string name = Unique("killed-waiter");
  ipc::waiter waiter;
  waiter.set_global(false);
  ASSERT_TRUE(waiter.open(name));

  // The waiter's own lock, and the lock inside its condition: both held by processes that die.
  std::vector<platform::ChildProcess> holders;
  for (const std::string& lock : {"_waiter_lock_" + name, "Local\\_cond_lock__waiter_cond_" + name}) {
    const ipc::shm::handle flag(Unique("held-" + std::to_string(holders.size())), 4);
    auto holder = test_support::StartChild("hold-named-mutex", {lock, flag.name()});
    ASSERT_TRUE(holder);
    ASSERT_TRUE(Await([&] { return Word(flag).load() == 1; }));
    holders.push_back(std::move(*holder));
  }
  for (auto& holder : holders) holder.Kill();

  std::atomic<bool> ready{false};
  std::atomic<bool> asleep{false};
  auto sleeper = std::async(std::launch::async, [&] {
    return waiter.wait_while(
        [&] {
          asleep.store(true);
          return ready.load();
        },
        60'000);
  });
  ASSERT_TRUE(Await([&] { return asleep.load(); }));
  ready.store(true);
  // Until the sleeper is woken: a broadcast that finds no sleeper yet is repeated.
  ASSERT_TRUE(Await([&] {
    waiter.broadcast();
    return sleeper.wait_for(1ms) == std::future_status::ready;
  }));
  EXPECT_TRUE(sleeper.get());

  // And the locks work as locks again: a second round sleeps and is woken.
  ready.store(false);
  asleep.store(false);
  auto again = std::async(std::launch::async, [&] { return waiter.wait_while([&] { return ready.load(); }, 60'000); });
  ready.store(true);
  ASSERT_TRUE(Await([&] {
    waiter.broadcast();
    return again.wait_for(1ms) == std::future_status::ready;
  }));
  EXPECT_TRUE(again.get());
}

// Opens channel arguments[0] as a receiver (arguments[2] == "r") or a sender that sends ten messages
// of arguments[3] bytes (in a pool of the test's own), then adds its mark (1 receiver, 2 sender) to the flag
// arguments[1] and waits to be killed.
const bool kBusyRole =
    test_support::RegisterChildRole("fault-busy-peer", [](const std::vector<std::string>& arguments) {
      channel handle(arguments.at(0), false);
      const ipc::shm::handle flag(arguments.at(1), 4);
      if (!flag.valid()) return 1;
      const bool receiver = arguments.at(2) == "r";
      if (!handle.connect(receiver ? kReceiver : kSender)) return 1;
      if (!receiver) {
        for (std::uint32_t i = 0; i < 10; ++i) {
          const auto bytes = Pattern(std::stoul(arguments.at(3)), i);
          if (!handle.send(bytes.data(), bytes.size(), 1000)) return 2;
        }
      }
      Word(flag).fetch_or(receiver ? 1 : 2);
      return test_support::SleepUntilKilled();
    });

TEST(ChannelFault, AChannelWhoseProcessesWereAllKilledStartsAfreshNextTime) {
  const std::string name = Unique("all-killed");
  const ipc::shm::handle flag(Unique("all-killed-flag"), 4);
  // Storage messages, so that the dead hold chunks of a pool too: one nobody else uses.
  const std::uint64_t c = channel_test::PrivateChunkSize(9);
  const std::string size = std::to_string(c - 8);
  auto receiver = test_support::StartChild("fault-busy-peer", {name, flag.name(), "r", size});
  ASSERT_TRUE(receiver);
  ASSERT_TRUE(Await([&] { return (Word(flag).load() & 1) != 0; }));
  auto sender = test_support::StartChild("fault-busy-peer", {name, flag.name(), "s", size});
  ASSERT_TRUE(sender);
  ASSERT_TRUE(Await([&] { return Word(flag).load() == 3; }));
  sender->Kill();
  receiver->Kill();

  {
    // Nobody holds the objects now: opening them makes new ones, every byte zero.
    const QueueView queue(name, false);
    ASSERT_TRUE(queue.valid());
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(&*queue);
    EXPECT_TRUE(std::all_of(bytes, bytes + sizeof(ipc::layout::queue), [](std::uint8_t b) { return b == 0; }));
    const ipc::shm::handle acc("__AC_CONN__" + name, 4, false);
    ASSERT_TRUE(acc.valid());
    EXPECT_EQ(Word(acc).load(), 0u);
    const auto* pool = reinterpret_cast<const std::uint8_t*>(ipc::chunk_storages(c));
    ASSERT_NE(pool, nullptr);
    EXPECT_TRUE(std::all_of(pool, pool + ipc::layout::chunk_info_size(c), [](std::uint8_t b) { return b == 0; }));
  }
  channel next_receiver(name, false);
  channel next_sender(name, false);
  ASSERT_TRUE(next_receiver.connect(kReceiver));
  ASSERT_TRUE(next_sender.connect(kSender));
  const QueueView queue(name, false);
  EXPECT_EQ(queue.connections(), next_receiver.receiver_bit());
  const auto bytes = Pattern(c - 8, 5);
  ASSERT_TRUE(next_sender.send(bytes.data(), bytes.size(), 1000));
  EXPECT_EQ(queue.last().msg.is_storage, 1);
  EXPECT_TRUE(Holds(next_receiver.recv(), bytes));
  EXPECT_EQ(queue.write_index(), 1u);
  EXPECT_EQ(FreeIds(c).size(), 32u);
}

}  // namespace
