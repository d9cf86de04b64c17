#include "spindrel/transport/channel.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <optional>
#include <thread>

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

constexpr auto kReceiver = channel::mode::receiver;
constexpr auto kSender = channel::mode::sender;

// More than a whole turn of the queue with zero timeouts: a receiver wrongly found lagging would be
// evicted (and logged) on the way.
void ExpectKeptThroughManyTurns(channel& sender, channel& receiver) {
  const LogCapture capture;
  for (std::uint32_t i = 0; i < 300; ++i) {
    ASSERT_TRUE(sender.send(&i, sizeof(i), 0)) << i;
    ASSERT_EQ(receiver.recv().size(), sizeof(i)) << i;
  }
  EXPECT_TRUE(LogCapture::Take().empty());
}

std::int32_t StorageIdOf(const ipc::layout::slot& slot) {
  std::int32_t id = -1;
  std::memcpy(&id, slot.msg.data, sizeof(id));
  return id;
}

bool IsFree(std::uint64_t chunk_size, int id) {
  const auto ids = FreeIds(chunk_size);
  return std::count(ids.begin(), ids.end(), id) == 1;
}

bool Contains(const std::vector<test_support::LoggedLine>& lines, int level, const std::string& prefix) {
  return std::any_of(lines.begin(), lines.end(),
                     [&](const auto& line) { return line.level == level && line.text.starts_with(prefix); });
}

TEST(Channel, ShortMessagesTakeOneSlotAndEmptyOnesAreRefused) {
  ChannelPeers peers("short");
  ASSERT_TRUE(peers.Ready());
  auto [receiver, sender, queue] = peers.parts();
  for (const std::size_t size : {1u, 63u, 64u}) {
    const auto bytes = Pattern(size, static_cast<std::uint32_t>(size));
    const std::uint32_t before = queue.write_index();
    ASSERT_TRUE(sender.send(bytes.data(), size, 100));
    EXPECT_EQ(queue.write_index(), before + 1);
    EXPECT_EQ(queue.last().msg.remain, static_cast<int>(size) - 64);
    EXPECT_EQ(queue.last().msg.is_storage, 0);
    EXPECT_EQ(queue.last().msg.sender_id, sender.conn_id());
    EXPECT_TRUE(Holds(receiver.recv(), bytes)) << size;
  }

  const LogCapture capture;
  const char byte = 'x';
  EXPECT_FALSE(sender.send(&byte, 0, 100));
  EXPECT_FALSE(sender.send_strict(nullptr, 5, 100));
  const auto lines = LogCapture::Take();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].level, ipc::log_level_failure);
  EXPECT_TRUE(lines[0].text.starts_with("fail: send(") && lines[0].text.ends_with(", 0)\n")) << lines[0].text;
  EXPECT_TRUE(lines[1].text.ends_with(", 5)\n")) << lines[1].text;
}

TEST(Channel, LongerMessagesTravelInOneChunkOfTheirSizesPool) {
  ChannelPeers peers("storage");
  ASSERT_TRUE(peers.Ready());
  auto [receiver, sender, queue] = peers.parts();
  for (const auto& [size, pool] :
       {std::pair<std::size_t, std::uint64_t>{65, 1024}, {220, 1024}, {1016, 1024}, {1017, 2048}}) {
    const auto bytes = Pattern(size, static_cast<std::uint32_t>(size));
    const std::uint32_t before = queue.write_index();
    ASSERT_TRUE(sender.send(bytes.data(), size, 100));
    ASSERT_EQ(queue.write_index(), before + 1) << size;
    EXPECT_EQ(queue.last().msg.is_storage, 1);
    EXPECT_EQ(queue.last().msg.remain, static_cast<int>(size) - 64);
    const ipc::recv_buffer got = receiver.recv();
    EXPECT_TRUE(Holds(got, bytes)) << size;
    // Read in place: the bytes are in chunk `id` of the pool.
    const auto* base = reinterpret_cast<const std::uint8_t*>(ipc::chunk_storages(pool));
    ASSERT_NE(base, nullptr);
    EXPECT_EQ(static_cast<const std::uint8_t*>(got.data()), base + 40 + StorageIdOf(queue.last()) * pool + 8) << size;
  }
}

TEST(Channel, WithoutAChunkAMessageIsSplitIntoFragmentsAndReassembled) {
  const std::uint64_t c = PrivateChunkSize(1);
  ChannelPeers peers("fragments");
  ASSERT_TRUE(peers.Ready());
  auto [receiver, sender, queue] = peers.parts();

  // Hold all 32 chunks of the pool.
  std::vector<ipc::recv_buffer> held;
  for (int i = 0; i < 32; ++i) {
    const auto bytes = Pattern(c - 8, i);
    ASSERT_TRUE(sender.send(bytes.data(), bytes.size(), 100));
    ASSERT_EQ(queue.last().msg.is_storage, 1);
    held.push_back(receiver.recv());
    ASSERT_TRUE(Holds(held.back(), bytes));
  }
  EXPECT_TRUE(FreeIds(c).empty());

  for (const std::uint64_t size : {c - 8, c - 64}) {  // a short last fragment, then none
    const auto bytes = Pattern(size, 99);
    const std::uint32_t before = queue.write_index();
    auto got = channel_test::RecvAsync(receiver);
    ASSERT_TRUE(sender.send(bytes.data(), size, 100));
    EXPECT_TRUE(Holds(got.get(), bytes)) << size;
    EXPECT_EQ(queue.write_index() - before, (size + 63) / 64);
    EXPECT_EQ(queue.back(2).msg.remain, size % 64 == 0 ? 64 : static_cast<int>(size % 64));
    EXPECT_EQ(queue.last().msg.remain, size % 64 == 0 ? 0 : static_cast<int>(size % 64) - 64);
    EXPECT_EQ(queue.last().msg.is_storage, 0);
  }
  held.clear();
  EXPECT_EQ(FreeIds(c).size(), 32u);
}

TEST(Channel, EveryReceiverGetsEveryMessageAndAChunkWaitsForAllOfThem) {
  const std::uint64_t c = PrivateChunkSize(2);
  ChannelPeers peers("two", 2);
  ASSERT_TRUE(peers.Ready());
  channel& first = peers.receivers[0];
  channel& second = peers.receivers[1];
  channel& sender = peers.sender;
  const QueueView& queue = peers.queue;

  const auto small = Pattern(30, 1);
  const auto large = Pattern(c - 8, 2);
  ASSERT_TRUE(sender.send(small.data(), small.size(), 100));
  ASSERT_TRUE(sender.send(large.data(), large.size(), 100));
  const int id = StorageIdOf(queue.last());
  EXPECT_TRUE(Holds(first.recv(), small));
  EXPECT_TRUE(Holds(second.recv(), small));
  ipc::recv_buffer a = first.recv();
  ipc::recv_buffer b = second.recv();
  EXPECT_TRUE(Holds(a, large));
  EXPECT_TRUE(Holds(b, large));
  EXPECT_EQ(a.data(), b.data());
  a.reset();
  EXPECT_FALSE(IsFree(c, id));
  b.reset();
  EXPECT_TRUE(IsFree(c, id));
  EXPECT_EQ(FreeIds(c).size(), 32u);

  // A receiver that leaves before reading gives its share up: the reader's release frees the chunk.
  ASSERT_TRUE(sender.send(large.data(), large.size(), 100));
  const int next = StorageIdOf(queue.last());
  second.disconnect();
  ipc::recv_buffer c1 = first.recv();
  EXPECT_TRUE(Holds(c1, large));
  c1.reset();
  EXPECT_TRUE(IsFree(c, next));
  EXPECT_EQ(FreeIds(c).size(), 32u);
}

TEST(Channel, The33rdReceiverIsRefusedAndAFreedPlaceIsTakenAgain) {
  const std::string name = Unique("places");
  std::vector<channel> receivers;
  std::uint32_t bits = 0;
  for (int i = 0; i < 32; ++i) {
    receivers.emplace_back(name, false);
    ASSERT_TRUE(receivers.back().connect(kReceiver));
    EXPECT_EQ(bits & receivers.back().receiver_bit(), 0u);
    bits |= receivers.back().receiver_bit();
  }
  EXPECT_EQ(bits, 0xFFFF'FFFFu);
  channel extra(name, false);
  EXPECT_FALSE(extra.connect(kReceiver));
  EXPECT_EQ(extra.receiver_bit(), 0u);

  const std::uint32_t freed = receivers[7].receiver_bit();
  receivers.erase(receivers.begin() + 7);
  channel late(name, false);
  ASSERT_TRUE(late.connect(kReceiver));
  EXPECT_EQ(late.receiver_bit(), freed);
}

TEST(Channel, SendEvictsAStalledReceiverAndFailsWhenItWasTheOnlyOne) {
  ChannelPeers peers("evict", 2);
  ASSERT_TRUE(peers.Ready());
  channel& reader = peers.receivers[0];
  channel& stalled = peers.receivers[1];
  channel& sender = peers.sender;
  const QueueView& queue = peers.queue;
  for (std::uint32_t i = 0; i < 256; ++i) {
    ASSERT_TRUE(sender.send(&i, sizeof(i), 20));
    ASSERT_FALSE(reader.recv().empty());
  }
  const std::uint32_t both = queue.connections();
  {
    const LogCapture capture;
    const std::uint32_t i = 256;
    EXPECT_TRUE(sender.send(&i, sizeof(i), 20));
    const auto lines = LogCapture::Take();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].level, ipc::log_level_recovery);
    EXPECT_EQ(lines[0].text, "force_push: msg_id = 256, remain = -60, size = 4\n");
    EXPECT_EQ(lines[1].level, ipc::log_level_recovery);
    EXPECT_EQ(lines[1].text, "force_push: k = 0, cc = " + std::to_string(both) +
                                 ", rem_cc = " + std::to_string(stalled.receiver_bit()) + "\n");
  }
  EXPECT_EQ(queue.connections(), reader.receiver_bit());
  EXPECT_FALSE(reader.recv().empty());
  EXPECT_TRUE(stalled.recv().empty());  // evicted: nothing more for it

  ChannelPeers lone("evict-lone");
  ASSERT_TRUE(lone.Ready());
  channel& lone_sender = lone.sender;
  for (std::uint32_t i = 0; i < 256; ++i) ASSERT_TRUE(lone_sender.send(&i, sizeof(i), 0));
  const LogCapture capture;
  const std::uint32_t i = 256;
  EXPECT_FALSE(lone_sender.send(&i, sizeof(i), 0));
  EXPECT_FALSE(lone_sender.send(&i, sizeof(i), 0));
  const auto lines = LogCapture::Take();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_TRUE(lines[0].text.starts_with("force_push: msg_id = 256,"));
  EXPECT_TRUE(lines[1].text.starts_with("force_push: k = 0,"));
  EXPECT_EQ(lines[2].text, "fail: send, there is no receiver on this connection.\n");
}

TEST(Channel, SendStrictFailsOnAFullQueueAndGivesItsChunkBack) {
  const std::uint64_t c = PrivateChunkSize(3);
  ChannelPeers peers("strict");
  ASSERT_TRUE(peers.Ready());
  auto [stalled, sender, queue] = peers.parts();
  for (std::uint32_t i = 0; i < 256; ++i) ASSERT_TRUE(sender.send_strict(&i, sizeof(i), 0));

  const LogCapture capture;
  const std::uint32_t i = 256;
  EXPECT_FALSE(sender.send_strict(&i, sizeof(i), 0));
  EXPECT_FALSE(sender.send_strict(&i, sizeof(i), 5));
  const auto large = Pattern(c - 8, 3);
  EXPECT_FALSE(sender.send_strict(large.data(), large.size(), 5));
  EXPECT_EQ(FreeIds(c).size(), 32u);  // the chunk nobody was told of is back
  EXPECT_TRUE(LogCapture::Take().empty());
  EXPECT_EQ(queue.connections(), stalled.receiver_bit());
  for (std::uint32_t j = 0; j < 256; ++j) {
    const ipc::recv_buffer got = stalled.recv();
    ASSERT_EQ(got.size(), sizeof(j));
    EXPECT_EQ(std::memcmp(got.data(), &j, sizeof(j)), 0);
  }
}

TEST(Channel, AReceiverNeverGetsItsOwnMessages) {
  ChannelPeers peers("own");
  ASSERT_TRUE(peers.Ready());
  channel& both = peers.receiver();
  channel& other = peers.sender;
  const auto mine = Pattern(10, 1);
  const auto mine_large = Pattern(500, 2);
  const auto theirs = Pattern(10, 3);
  ASSERT_TRUE(both.send(mine.data(), mine.size(), 100));
  ASSERT_TRUE(both.send(mine_large.data(), mine_large.size(), 100));
  ASSERT_TRUE(other.send(theirs.data(), theirs.size(), 100));
  EXPECT_TRUE(Holds(both.recv(), theirs));
}

TEST(Channel, AReceiverSeesOnlyWhatIsWrittenAfterItConnects) {
  const std::string name = Unique("late");
  channel early(name, false);
  channel sender(name, false);
  ASSERT_TRUE(sender.connect(kSender));
  {
    const LogCapture capture;
    EXPECT_FALSE(sender.send("a", 1, 0));  // nobody to read it
    EXPECT_EQ(LogCapture::Take().at(0).text, "fail: send, there is no receiver on this connection.\n");
  }
  ASSERT_TRUE(early.connect(kReceiver));
  const auto before = Pattern(100, 1);
  ASSERT_TRUE(sender.send(before.data(), before.size(), 100));

  // A receiver that connects between the fragments of a message gets the rest of it, from the slot
  // it first sees, as a message of its own.
  const QueueView queue(name, false);
  const auto split = Pattern(200, 2);
  const auto push = [&](int offset, std::uint32_t size) {
    const ipc::queue::slot_fields fields{sender.conn_id(), 4242, 200 - 64 - offset, split.data() + offset, size};
    return ipc::queue::push(*queue, fields, ipc::queue::unrecorded) == ipc::queue::pushed::written;
  };
  ASSERT_TRUE(push(0, 64));
  channel late(name, false);
  ASSERT_TRUE(late.connect(kReceiver));
  ASSERT_TRUE(push(64, 64));
  ASSERT_TRUE(push(128, 64));
  ASSERT_TRUE(push(192, 8));
  const auto after = Pattern(7, 3);
  ASSERT_TRUE(sender.send(after.data(), after.size(), 100));

  EXPECT_TRUE(Holds(early.recv(), before));
  EXPECT_TRUE(Holds(early.recv(), split));
  EXPECT_TRUE(Holds(early.recv(), after));
  EXPECT_TRUE(Holds(late.recv(), std::vector<std::uint8_t>(split.begin() + 64, split.end())));
  EXPECT_TRUE(Holds(late.recv(), after));
}

TEST(Channel, RecvOnASenderOnlyHandleIsEmptyAtOnce) {
  ChannelPeers peers("sender-only");
  ASSERT_TRUE(peers.Ready());
  channel& receiver = peers.receiver();
  channel& sender = peers.sender;
  ASSERT_TRUE(sender.send("x", 1, 100));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(sender.recv().empty());
  EXPECT_LT(std::chrono::steady_clock::now() - start, 150ms);  // no 200 ms wait happened

  // A receiver that becomes a sender gives up its place.
  ASSERT_TRUE(receiver.connect(kSender));
  EXPECT_EQ(receiver.receiver_bit(), 0u);
  EXPECT_TRUE(receiver.recv().empty());
}

TEST(Channel, DisconnectFromAnotherThreadEndsAWaitingRecv) {
  const std::string name = Unique("wake");
  channel receiver(name, false);
  ASSERT_TRUE(receiver.connect(kReceiver));
  std::thread stopper([&] {
    std::this_thread::sleep_for(20ms);  // not synchronisation: either order must end with an empty buffer
    receiver.disconnect();
  });
  for (int i = 0; i < 50 && receiver.receiver_bit() != 0; ++i) EXPECT_TRUE(receiver.recv().empty());
  stopper.join();
  EXPECT_TRUE(receiver.recv().empty());
}

// Mend: a receiver that disconnects wipes its bit from the slots it did not read. Otherwise the next
// receiver to get that bit finds those slots pending "for it" and is evicted although it reads all.
TEST(Channel, AReceiverThatLeavesUnreadSlotsDoesNotGetItsSuccessorEvicted) {
  const std::string name = Unique("successor");
  channel sender(name, false);
  ASSERT_TRUE(sender.connect(kSender));
  std::uint32_t bit = 0;
  {
    channel leaving(name, false);
    ASSERT_TRUE(leaving.connect(kReceiver));
    bit = leaving.receiver_bit();
    for (std::uint32_t i = 0; i < 5; ++i) ASSERT_TRUE(sender.send(&i, sizeof(i), 0));
  }
  channel successor(name, false);
  ASSERT_TRUE(successor.connect(kReceiver));
  ASSERT_EQ(successor.receiver_bit(), bit);
  ExpectKeptThroughManyTurns(sender, successor);
}

// Mend: a receiver that left its marks behind (killed while leaving, or an older program) does not get
// the next holder of its bit evicted either: connecting wipes them.
TEST(Channel, ANewReceiverWipesMarksLeftForItsBit) {
  const std::string name = Unique("stale");
  channel sender(name, false);
  ASSERT_TRUE(sender.connect(kSender));
  const QueueView queue(name, false);
  std::uint32_t read_index = 0;
  const std::uint32_t bit = ipc::queue::connect_receiver(*queue, read_index, ipc::place::unrecorded);
  ASSERT_NE(bit, 0u);
  for (std::uint32_t i = 0; i < 5; ++i) ASSERT_TRUE(sender.send(&i, sizeof(i), 0));
  std::atomic_ref<std::uint32_t>(queue->connections).fetch_and(~bit);  // gone without a word

  channel successor(name, false);
  ASSERT_TRUE(successor.connect(kReceiver));
  ASSERT_EQ(successor.receiver_bit(), bit);
  ExpectKeptThroughManyTurns(sender, successor);
}

// Mend: a forced write over a storage slot drops only the receivers that are gone from the chunk; a
// receiver still holding the message keeps it until it lets go, and the chunk returns exactly once.
TEST(Channel, AForcedWriteDoesNotFreeAChunkAReceiverStillHolds) {
  const std::uint64_t c = PrivateChunkSize(4);
  ChannelPeers peers("force-chunk", 2);
  ASSERT_TRUE(peers.Ready());
  channel& reader = peers.receivers[0];
  channel& sender = peers.sender;
  const QueueView& queue = peers.queue;

  const auto large = Pattern(c - 8, 4);
  ASSERT_TRUE(sender.send(large.data(), large.size(), 0));
  const int id = StorageIdOf(queue.last());
  ipc::recv_buffer held = reader.recv();
  ASSERT_TRUE(Holds(held, large));
  for (std::uint32_t i = 1; i < 256; ++i) {
    ASSERT_TRUE(sender.send(&i, sizeof(i), 0));
    ASSERT_FALSE(reader.recv().empty());
  }
  const LogCapture capture;
  ASSERT_TRUE(sender.send("force", 5, 0));  // overwrites the storage slot, evicting the second receiver
  EXPECT_TRUE(Contains(LogCapture::Take(), ipc::log_level_recovery, "force_push: k = "));
  EXPECT_FALSE(IsFree(c, id));
  EXPECT_TRUE(Holds(held, large));
  held.reset();
  EXPECT_TRUE(IsFree(c, id));
  EXPECT_EQ(FreeIds(c).size(), 32u);
}

// Mend: conn_ids come from the counter of the channel's own namespace. A process whose first channel
// was Local and that then sends on a Global channel must not draw the Global receiver's id (which would
// drop the message as its own).
const bool kLocalThenGlobalRole =
    test_support::RegisterChildRole("channel-local-then-global", [](const std::vector<std::string>& arguments) {
      const channel local(arguments.at(0), false);
      channel target(arguments.at(1), true);
      if (!target.connect(kSender)) return 1;
      return target.send("hello", 5, 2000) ? 0 : 2;
    });

// Moves a conn_id counter forward to value, never back: other test processes draw ids from the same
// counters, and a counter moved back would hand out ids that live handles already have.
void AdvanceCounter(const ipc::shm::handle& counter, std::uint32_t value) {
  std::atomic_ref<std::uint32_t> word(*static_cast<std::uint32_t*>(counter.get()));
  for (std::uint32_t now = word.load(); now < value && !word.compare_exchange_weak(now, value);) {
  }
}

TEST(Channel, IdsOfHandlesInDifferentNamespacesDoNotCollide) {
  // Line the counters up so that a child whose Global handle drew from the Local counter would get the
  // receiver's id: its Local handle draws `next`, its Global one would draw next + 1.
  const ipc::shm::handle local_counter("__CA_CONN__", 4, false);
  const ipc::shm::handle global_counter("__CA_CONN__", 4, true);
  ASSERT_TRUE(local_counter.valid() && global_counter.valid());
  const auto value = [](const ipc::shm::handle& counter) {
    return std::atomic_ref<std::uint32_t>(*static_cast<std::uint32_t*>(counter.get())).load();
  };
  const std::uint32_t next = std::max(value(local_counter), value(global_counter)) + 1;
  AdvanceCounter(global_counter, next + 1);
  const std::string global_name = Unique("ns-global");
  channel receiver(global_name, true);
  ASSERT_TRUE(receiver.connect(kReceiver));
  AdvanceCounter(local_counter, next);
  {
    auto child = test_support::StartChild("channel-local-then-global", {Unique("ns-local"), global_name});
    ASSERT_TRUE(child);
    ASSERT_EQ(child->Wait(test_support::kChildDeadline), 0);
  }
  const ipc::recv_buffer got = receiver.recv();
  ASSERT_EQ(got.size(), 5u);
  EXPECT_EQ(std::memcmp(got.data(), "hello", 5), 0);
}

// Mend: a process that sends a large message and exits at once keeps the pool alive until the receiver
// has taken it (bounded). Without that, the pool dies with the sender and the receiver reads zeros.
const bool kSendAndExitRole =
    test_support::RegisterChildRole("channel-send-and-exit", [](const std::vector<std::string>& arguments) {
      channel target(arguments.at(0), false);
      if (!target.connect(kSender)) return 1;
      const auto bytes = Pattern(std::stoul(arguments.at(1)), 77);
      return target.send(bytes.data(), bytes.size(), 2000) ? 0 : 2;
    });

TEST(Channel, ALargeMessageOutlivesASenderThatExitsRightAfterSending) {
  for (const std::uint64_t size : {PrivateChunkSize(5) - 8, std::uint64_t{220}}) {
    const std::string name = Unique("exit-" + std::to_string(size));
    channel receiver(name, false);
    ASSERT_TRUE(receiver.connect(kReceiver));
    const QueueView queue(name, false);
    const std::uint32_t before = queue.write_index();
    auto child = test_support::StartChild("channel-send-and-exit", {name, std::to_string(size)});
    ASSERT_TRUE(child);
    ASSERT_TRUE(channel_test::Await([&] { return queue.write_index() != before; }));
    // Give a sender that does not wait every chance to be gone before we look.
    const std::optional<int> early = child->Wait(200ms);
    EXPECT_TRUE(Holds(receiver.recv(), Pattern(size, 77))) << size << (early ? " (sender was gone)" : "");
    EXPECT_EQ(child->Wait(test_support::kChildDeadline), 0);
  }
}

}  // namespace
