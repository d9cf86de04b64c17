// Writers held up between claiming a slot and writing it, and receivers held up until a sender evicted
// them: real processes held at a point the test chooses (a writer inside the claimed-slot hook, a
// receiver that stops reading), then let go or killed.
#include "spindrel/transport/channel.h"

#include <gtest/gtest.h>

#include <atomic>
#include <bit>
#include <chrono>
#include <cstring>
#include <future>
#include <string>

#include "support/log_capture.h"
#include "support/shared_word.h"
#include "support/test_support.h"
#include "transport/channel_helpers.h"
#include "transport/held_writer.h"

namespace {

using namespace std::chrono_literals;
using channel_test::Await;
using channel_test::ChannelPeers;
using channel_test::ClaimsView;
using channel_test::FillAndForce;
using channel_test::HeldWriter;
using channel_test::Holds;
using channel_test::kGo;
using channel_test::kHeld;
using channel_test::NothingArrivesFor;
using channel_test::Pattern;
using channel_test::QueueView;
using channel_test::RecvWithin;
using ipc::channel;
using test_support::Unique;
using test_support::Word;

constexpr auto kReceiver = channel::mode::receiver;
constexpr auto kSender = channel::mode::sender;

// Connects as a receiver on channel arguments[0], raises kHeld in the flags arguments[1] and reads
// nothing; once kGo is raised it disconnects and ends with 0.
const bool kPausedWatcherRole =
    test_support::RegisterChildRole("claim-paused-watcher", [](const std::vector<std::string>& arguments) {
      channel in(arguments.at(0), false);
      const ipc::shm::handle flags(arguments.at(1), 8);
      if (!flags.valid() || !in.connect(kReceiver)) return 1;
      Word(flags, kHeld).store(1);
      if (!Await([&] { return Word(flags, kGo).load() == 1; })) return 2;
      in.disconnect();
      return 0;
    });

// A channel of the test's own with one receiver and a writer held inside the write of a 40-byte
// message; once Ready(), claimed is the write index of the held slot.
struct HeldClaim {
  explicit HeldClaim(const std::string& tag) : peers(tag), writer(peers.name, 40) {}

  testing::AssertionResult Ready() {
    if (testing::AssertionResult ready = peers.Ready(); !ready) return ready;
    if (!writer.Held()) return testing::AssertionFailure() << "the writer was not held";
    claimed = peers.queue.write_index() - 1;
    return testing::AssertionSuccess();
  }

  ChannelPeers peers;
  HeldWriter writer;
  std::uint32_t claimed = 0;
};

bool Logged(const std::vector<test_support::LoggedLine>& lines, const std::string& start) {
  return std::any_of(lines.begin(), lines.end(), [&](const auto& line) { return line.text.starts_with(start); });
}

// Mend: a writer paused for more than a second between its claim and its write found its slot skipped
// by every receiver and still returned true: the message was lost and the sender told it was sent.
TEST(ChannelHeldWriter, AWriterHeldPastTheSkipLimitIsWaitedForAndItsMessageArrives) {
  ChannelPeers peers("held-writer");
  ASSERT_TRUE(peers.Ready());
  channel& receiver = peers.receiver();
  const test_support::LogCapture capture;
  for (const std::size_t size : {std::size_t{40}, std::size_t{300}}) {
    SCOPED_TRACE(size);
    HeldWriter writer(peers.name, size);
    ASSERT_TRUE(writer.Held());
    EXPECT_TRUE(NothingArrivesFor(receiver, 1500ms));
    writer.Go();
    EXPECT_TRUE(Holds(RecvWithin(receiver, 10s), Pattern(size, 1)));
    EXPECT_EQ(writer.ExitCode(), 0);
    ASSERT_TRUE(peers.sender.send_strict("after", 5, 1000));
    EXPECT_EQ(RecvWithin(receiver, 10s).size(), 5u);
  }
  EXPECT_FALSE(Logged(test_support::LogCapture::Take(), "skip:"));
}

TEST(ChannelHeldWriter, AKilledWritersSlotIsPassedOverAtOnce) {
  HeldClaim held("killed-writer");
  ASSERT_TRUE(held.Ready());
  auto& [peers, writer, claimed] = held;
  channel& receiver = peers.receiver();
  writer.child->Kill();
  ASSERT_TRUE(writer.ExitCode());

  const test_support::LogCapture capture;
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(peers.sender.send_strict("after", 5, 1000));
  EXPECT_EQ(RecvWithin(receiver, 10s).size(), 5u);
  // A writer that recorded nothing is given a second; a recorded one that is gone is not waited for.
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
  const auto lines = test_support::LogCapture::Take();
  EXPECT_TRUE(Logged(lines, "skip: slot " + std::to_string(claimed) + " was claimed and never written"));
}

// Mend: a record naming a live process that is not the writer (one that reused a dead writer's pid, or
// a forged record) held every receiver at that slot for as long as that process lived.
TEST(ChannelHeldWriter, AClaimRecordNamingAnotherLiveProcessHoldsReceiversUpOnlyForTheLimit) {
  HeldClaim held("forged-claim");
  ASSERT_TRUE(held.Ready());
  auto& [peers, writer, claimed] = held;
  channel& receiver = peers.receiver();
  auto stranger = test_support::StartChild("sleep");
  ASSERT_TRUE(stranger);
  const ClaimsView claims(peers.name, false);
  ASSERT_TRUE(claims.valid());
  claims.entry(claimed).store(ipc::layout::claim_entry(stranger->Pid(), claimed));

  const test_support::LogCapture capture;
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(peers.sender.send_strict("after", 5, 10'000));
  EXPECT_EQ(RecvWithin(receiver, 30s).size(), 5u);
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, 5s);
  EXPECT_LT(waited, 15s);
  EXPECT_TRUE(Logged(test_support::LogCapture::Take(),
                     "skip: slot " + std::to_string(claimed) + " was claimed and never written (its writer held it"));
  // The real writer, let go afterwards, learns that its slot was passed over.
  writer.Go();
  EXPECT_EQ(writer.ExitCode(), 10);
}

// Mend: a resumed writer wrote into its slot without checking; when receivers had passed the slot over
// and the next round's writer had taken it, that write overwrote another message.
TEST(ChannelHeldWriter, AWriterWhoseSlotWasPassedOverReturnsFalseAndWritesNothing) {
  HeldClaim held("passed-writer");
  ASSERT_TRUE(held.Ready());
  auto& [peers, writer, claimed] = held;
  channel& receiver = peers.receiver();
  const QueueView& queue = peers.queue;

  // Forget the writer's record, as a receiver that does not know it would: the slot is passed over
  // after the second given to writers that record nothing.
  const ClaimsView claims(peers.name, false);
  ASSERT_TRUE(claims.valid());
  ASSERT_EQ(ipc::layout::claim_index(claims.entry(claimed).load()), claimed);
  ASSERT_EQ(ipc::layout::claim_pid(claims.entry(claimed).load()), writer.child->Pid());
  claims.entry(claimed).store(0);

  // A whole turn of the queue after it, so that the next round's writer takes the slot again.
  auto reader = std::async(std::launch::async, [&] {
    std::uint32_t i = 0;
    const auto deadline = std::chrono::steady_clock::now() + test_support::kChildDeadline;
    while (i < ipc::layout::slot_count && std::chrono::steady_clock::now() < deadline) {
      const ipc::recv_buffer got = receiver.recv();
      if (got.empty()) continue;
      if (!Holds(got, Pattern(48, 100 + i))) break;
      ++i;
    }
    return i;
  });
  for (std::uint32_t i = 0; i < ipc::layout::slot_count; ++i) {
    const auto bytes = Pattern(48, 100 + i);
    ASSERT_TRUE(peers.sender.send_strict(bytes.data(), bytes.size(), 10'000)) << i;
  }
  ASSERT_EQ(reader.get(), ipc::layout::slot_count);
  // The next round wrote the slot, and the receiver read it.
  const ipc::layout::slot& slot = queue->slots[claimed % ipc::layout::slot_count];
  const std::uint64_t read_by_all = std::uint64_t{claimed} + 2 * ipc::layout::slot_count;
  ASSERT_EQ(std::atomic_ref<const std::uint64_t>(slot.commit).load(), read_by_all);

  writer.Go();
  EXPECT_EQ(writer.ExitCode(), 10);
  EXPECT_EQ(std::atomic_ref<const std::uint64_t>(slot.commit).load(), read_by_all);
  const auto last = Pattern(48, 100 + ipc::layout::slot_count - 1);
  EXPECT_EQ(std::memcmp(slot.msg.data, last.data(), last.size()), 0);
  ASSERT_TRUE(peers.sender.send_strict("after", 5, 1000));
  EXPECT_EQ(RecvWithin(receiver, 10s).size(), 5u);
}

// Mend: a watcher evicted while it was paused later left normally and cleared the receiver bit that a
// new client had taken meanwhile; the new client heard nothing more.
TEST(ChannelEvictedReceiver, APausedWatcherEvictedMeanwhileLeavesTheNewHoldersPlaceAlone) {
  const std::string name = Unique("paused-watcher");
  channel sender(name, false);
  ASSERT_TRUE(sender.connect(kSender));
  const QueueView queue(name, false);
  const ipc::shm::handle flags(Unique("paused-watcher-flags"), 8);
  auto watcher = test_support::StartChild("claim-paused-watcher", {name, flags.name()});
  ASSERT_TRUE(watcher);
  ASSERT_TRUE(Await([&] { return Word(flags, kHeld).load() == 1; }));
  const std::uint32_t watcher_bit = queue.connections();
  ASSERT_EQ(std::popcount(watcher_bit), 1);

  // A turn and one more with short timeouts: the watcher's oldest unread slot is forced over.
  EXPECT_TRUE(FillAndForce(sender));
  EXPECT_EQ(queue.connections(), 0u);
  channel fresh(name, false);
  ASSERT_TRUE(fresh.connect(kReceiver));
  ASSERT_EQ(fresh.receiver_bit(), watcher_bit);

  Word(flags, kGo).store(1);
  EXPECT_EQ(watcher->Wait(test_support::kChildDeadline), 0);
  EXPECT_EQ(queue.connections(), watcher_bit);
  ASSERT_TRUE(sender.send_strict("still here", 10, 1000));
  EXPECT_EQ(RecvWithin(fresh, 10s).size(), 10u);
}

// Mend: an evicted receiver waited at a slot that was overwritten, for good.
TEST(ChannelEvictedReceiver, AnEvictedReceiverSaysSoAndReceivesAgainOnceItReconnects) {
  ChannelPeers peers("evicted-reconnects");
  ASSERT_TRUE(peers.Ready());
  channel& receiver = peers.receiver();
  const std::uint32_t bit = receiver.receiver_bit();
  EXPECT_TRUE(FillAndForce(peers.sender));
  EXPECT_EQ(peers.queue.connections(), 0u);

  // What was written before the eviction is still read; then the receiver finds its place gone.
  const test_support::LogCapture capture;
  for (std::uint32_t i = 0; i < ipc::layout::slot_count; ++i) {
    const ipc::recv_buffer got = receiver.recv(0);
    ASSERT_TRUE(got.size() == sizeof(i) && std::memcmp(got.data(), &i, sizeof(i)) == 0) << i;
  }
  EXPECT_TRUE(receiver.recv(0).empty());
  EXPECT_EQ(receiver.receiver_bit(), 0u);
  EXPECT_TRUE(Logged(test_support::LogCapture::Take(), "fail: recv, the receiver place " + std::to_string(bit)));
  ASSERT_TRUE(receiver.connect(kReceiver));
  ASSERT_TRUE(peers.sender.send_strict("again", 5, 1000));
  EXPECT_EQ(RecvWithin(receiver, 10s).size(), 5u);
}

}  // namespace
