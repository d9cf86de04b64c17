// Whose receiver place it is: receivers that take a place at the same moment, one held up or killed
// between its steps, and a handle whose place was taken from it. Real processes, each held at a point
// of its connect that the test chooses (place::set_hook_for_testing).
#include "spindrel/transport/channel.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <chrono>
#include <cstring>
#include <future>
#include <optional>
#include <string>
#include <vector>

#include "support/shared_word.h"
#include "support/test_support.h"
#include "transport/channel_helpers.h"
#include "transport/held_writer.h"
#include "transport/place_owner.h"

namespace {

using namespace std::chrono_literals;
using channel_test::Await;
using channel_test::ChannelPeers;
using channel_test::FillAndForce;
using channel_test::kWindowsBuild;
using channel_test::QueueView;
using channel_test::RecvWithin;
using ipc::channel;
using test_support::Unique;
using test_support::Word;

constexpr auto kReceiver = channel::mode::receiver;
constexpr auto kSender = channel::mode::sender;

// The words a held taker shares with the test.
constexpr std::size_t kHeldAt = 0;  // 1 + the step it is held at
constexpr std::size_t kLetGo = 1;   // the steps the test has let it pass
constexpr std::size_t kBit = 2;     // the place it took
constexpr std::size_t kLeave = 3;   // raised by the test: disconnect and end
constexpr std::size_t kTakerWords = 4;

const ipc::shm::handle* taker_flags = nullptr;
std::vector<ipc::place::step> taker_holds;

void HoldTaker(ipc::place::step at) {
  static std::uint32_t passed = 0;
  if (passed == taker_holds.size() || taker_holds[passed] != at) return;
  ++passed;
  Word(*taker_flags, kHeldAt).store(1 + static_cast<std::uint32_t>(at));
  Await([&] { return Word(*taker_flags, kLetGo).load() >= passed; });
}

// Connects as a receiver on channel arguments[0], held at the steps arguments[2..] ("chosen",
// "reserved") of its first tries, each until the test lets it pass (kLetGo counts them); then stores
// its bit in kBit and disconnects once kLeave is raised. Exit code 0 once it has left, 1 when it took
// no place.
const bool kHeldTakerRole =
    test_support::RegisterChildRole("place-held-taker", [](const std::vector<std::string>& arguments) {
      channel in(arguments.at(0), false);
      const ipc::shm::handle flags(arguments.at(1), kTakerWords * 4);
      if (!flags.valid()) return 2;
      taker_flags = &flags;
      for (std::size_t i = 2; i < arguments.size(); ++i) {
        taker_holds.push_back(arguments[i] == "chosen" ? ipc::place::step::chosen : ipc::place::step::reserved);
      }
      ipc::place::set_hook_for_testing(HoldTaker);
      const bool taken = in.connect(kReceiver);
      Word(flags, kBit).store(in.receiver_bit());
      if (!Await([&] { return Word(flags, kLeave).load() == 1; })) return 3;
      in.disconnect();
      return taken ? 0 : 1;
    });

struct HeldTaker {
  HeldTaker(const std::string& channel_name, const std::vector<std::string>& holds)
      : flags(Unique("held-taker-flags"), kTakerWords * 4) {
    std::vector<std::string> arguments{channel_name, flags.name()};
    arguments.insert(arguments.end(), holds.begin(), holds.end());
    child = test_support::StartChild("place-held-taker", arguments);
  }
  [[nodiscard]] bool HeldAt(ipc::place::step at) const {
    return child && Await([&] { return Word(flags, kHeldAt).load() == 1 + static_cast<std::uint32_t>(at); });
  }
  void LetGo() const { Word(flags, kLetGo).fetch_add(1); }
  [[nodiscard]] std::uint32_t TakenBit() const {
    std::uint32_t bit = 0;
    Await([&] { return (bit = Word(flags, kBit).load()) != 0; });
    return bit;
  }
  std::optional<int> Leave() {
    Word(flags, kLeave).store(1);
    return child->Wait(test_support::kChildDeadline);
  }

  const ipc::shm::handle flags;
  std::optional<platform::ChildProcess> child;
};

// The record of place bit in the claims of channel name.
class PlaceRecord {
 public:
  PlaceRecord(const std::string& name, std::uint32_t bit)
      : mapping_(ipc::layout::claims_name(name), sizeof(ipc::layout::claims), false), bit_(bit) {}
  [[nodiscard]] std::uint64_t load() const {
    auto* claims = static_cast<ipc::layout::claims*>(mapping_.get());
    return std::atomic_ref<std::uint64_t>(claims->owners[std::countr_zero(bit_)]).load();
  }

 private:
  ipc::shm::handle mapping_;
  std::uint32_t bit_;
};

bool Strict(channel& sender, const std::string& text) { return sender.send_strict(text.data(), text.size(), 10'000); }

std::string Text(const ipc::recv_buffer& got) { return {static_cast<const char*>(got.data()), got.size()}; }

// The bug this guards against: a receiver that lost the race for a bit recorded itself on it after the
// winner's record, and the winner, finding another's name on its place, gave it up for good.
TEST(ChannelPlace, ALoserWhoseRecordLandsAfterTheWinnersNeverMakesItGiveItsPlaceUp) {
  ChannelPeers peers("late-loser", 0);
  HeldTaker loser(peers.name, {"chosen", "reserved"});
  ASSERT_TRUE(loser.HeldAt(ipc::place::step::chosen));  // it saw place 1 free

  channel winner(peers.name, false);
  ASSERT_TRUE(winner.connect(kReceiver));
  const std::uint32_t bit = winner.receiver_bit();
  ASSERT_EQ(bit, 1u);
  const PlaceRecord record(peers.name, bit);
  const std::uint64_t winners = record.load();
  loser.LetGo();
  ASSERT_TRUE(loser.HeldAt(ipc::place::step::reserved));
  // The loser's record stands on the winner's place, after the winner's.
  EXPECT_EQ(ipc::layout::place_pid(record.load()), loser.child->Pid());
  EXPECT_NE(record.load() & ipc::layout::place_taking, 0u);

  ASSERT_TRUE(Strict(peers.sender, "while it stands"));
  (void)winner.recv(20);
  EXPECT_EQ(winner.receiver_bit(), bit);
  loser.LetGo();
  EXPECT_EQ(loser.TakenBit(), 2u);
  EXPECT_EQ(record.load(), winners);
  EXPECT_EQ(Text(RecvWithin(winner, 10s)), "while it stands");
  ASSERT_TRUE(Strict(peers.sender, "after"));
  EXPECT_EQ(Text(RecvWithin(winner, 10s)), "after");
  EXPECT_EQ(loser.Leave(), 0);
  EXPECT_EQ(peers.queue.connections(), bit);
}

// A receiver stopped between its record and its take holds the place up for the others only for a
// bound; killed there, not at all. Either way it never shares the place with the one that took it.
TEST(ChannelPlace, AReceiverHeldOrKilledWhileTakingAPlaceHoldsOthersUpOnlyForABound) {
  for (const bool killed : {false, true}) {
    SCOPED_TRACE(killed ? "killed" : "held");
    ChannelPeers peers("held-taker", 0);
    HeldTaker taker(peers.name, {"reserved"});
    ASSERT_TRUE(taker.HeldAt(ipc::place::step::reserved));
    if (killed) taker.child->Kill();

    channel other(peers.name, false);
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(other.connect(kReceiver));
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(other.receiver_bit(), 1u);
    if (killed) {
      EXPECT_LT(waited, ipc::place::patience::limit / 2);
      continue;
    }
    EXPECT_GE(waited, ipc::place::patience::limit);
    EXPECT_LT(waited, ipc::place::patience::limit * 5);
    taker.LetGo();
    EXPECT_EQ(taker.TakenBit(), 2u);
    ASSERT_TRUE(Strict(peers.sender, "both"));
    EXPECT_EQ(Text(RecvWithin(other, 10s)), "both");
    EXPECT_EQ(taker.Leave(), 0);
    EXPECT_EQ(peers.queue.connections(), 1u);
  }
}

// Mend: a receiver evicted by a forced write that found nobody left to write for, which then read all
// that was written for it, gave up its place when it left although a newcomer had taken it meanwhile,
// and read on from that place, taking the newcomer's messages.
TEST(ChannelPlace, AnEvictedReceiverThatReadEverythingLeavesTheNewHoldersPlaceAlone) {
  for (const bool leaves : {false, true}) {
    SCOPED_TRACE(leaves ? "the stale handle leaves" : "the stale handle reads on");
    ChannelPeers peers("read-then-left");
    ASSERT_TRUE(peers.Ready());
    channel& stale = peers.receiver();
    const std::uint32_t bit = stale.receiver_bit();
    EXPECT_TRUE(FillAndForce(peers.sender));
    for (std::uint32_t i = 0; i < ipc::layout::slot_count; ++i) {
      ASSERT_FALSE(stale.recv(0).empty()) << i;
    }
    channel fresh(peers.name, false);
    ASSERT_TRUE(fresh.connect(kReceiver));
    ASSERT_EQ(fresh.receiver_bit(), bit);

    if (leaves) stale.disconnect();
    ASSERT_TRUE(Strict(peers.sender, "still here"));
    if (!leaves) {
      EXPECT_TRUE(stale.recv(0).empty());  // not the newcomer's message
      EXPECT_EQ(stale.receiver_bit(), 0u);
    }
    EXPECT_EQ(peers.queue.connections(), bit);
    EXPECT_EQ(Text(RecvWithin(fresh, 10s)), "still here");
  }
}

// Mends: a receiver whose first slot was claimed by a writer that read the registry just before the
// receiver took its place found that slot without its mark. It took its place for lost when it left
// before reading anything, or when the writers had gone a whole turn and taken that slot again while
// it was held up (then it also read nothing more), and left its bit taken for good: strict senders
// then waited on it.
TEST(ChannelPlace, AReceiverWhoseFirstSlotLacksItsMarkKeepsItsPlaceAndGivesItBack) {
  enum class then { leaves, is_passed_and_reads_on, is_passed_and_leaves };
  for (const then what : {then::leaves, then::is_passed_and_reads_on, then::is_passed_and_leaves}) {
    SCOPED_TRACE(static_cast<int>(what));
    ChannelPeers peers("unmarked-first", 1);
    ASSERT_TRUE(peers.Ready());
    channel& other = peers.receiver();
    const std::uint32_t first = other.receiver_bit();
    channel late(peers.name, false);
    ASSERT_TRUE(late.connect(kReceiver));
    const std::uint32_t bit = late.receiver_bit();
    ASSERT_TRUE(Strict(peers.sender, "claimed before the take"));
    // As the writer that read the registry before the take marked it.
    ipc::layout::slot& slot = peers.queue->slots[(peers.queue.write_index() - 1) % ipc::layout::slot_count];
    std::atomic_ref<std::uint64_t>(slot.read_state).fetch_and(~std::uint64_t{bit});
    EXPECT_EQ(Text(RecvWithin(other, 10s)), "claimed before the take");
    if (what != then::leaves) {
      // The last of these takes the slot the late receiver has not read.
      for (std::uint32_t i = 0; i < ipc::layout::slot_count; ++i) {
        ASSERT_TRUE(Strict(peers.sender, std::to_string(i)));
        ASSERT_EQ(Text(RecvWithin(other, 10s)), std::to_string(i));
      }
    }
    if (what == then::is_passed_and_reads_on) {
      for (std::uint32_t i = 0; i < ipc::layout::slot_count; ++i) {
        ASSERT_EQ(Text(RecvWithin(late, 10s)), std::to_string(i));
      }
      EXPECT_EQ(late.receiver_bit(), bit);
      continue;
    }
    late.disconnect();
    EXPECT_EQ(peers.queue.connections(), first);
    ASSERT_TRUE(Strict(peers.sender, "after"));
    EXPECT_EQ(Text(RecvWithin(other, 10s)), "after");
  }
}

// Racers share these words with the test.
constexpr std::size_t kStart = 0;      // raised by the test
constexpr std::size_t kConnected = 1;  // steady receivers that hold a place
constexpr std::size_t kStop = 2;       // raised by the test once every message was sent
constexpr std::size_t kRounds = 3;     // places taken and given back by the churners
constexpr std::size_t kRaceWords = 4;

struct Numbered {
  std::uint32_t sender;
  std::uint32_t seq;
};

// Exit codes of a racer.
constexpr int kLostPlace = 3;   // its place was taken for lost while nobody evicted it
constexpr int kOutOfOrder = 4;  // a message missing, repeated or out of order
constexpr int kNoPlace = 5;     // found all 32 places taken though there are never more receivers
constexpr int kTimedOut = 6;

// A receiver on channel arguments[0] among others that take places at the same moment (flags
// arguments[1]). "steady" (arguments[2]) stays connected and must get arguments[4] messages from each
// of arguments[3] senders, in order; "churn" takes a place, reads a little and gives it back, over and
// over until kStop, and must see each sender's messages in order.
const bool kRacerRole = test_support::RegisterChildRole("place-racer", [](const std::vector<std::string>& arguments) {
  channel in(arguments.at(0), false);
  const ipc::shm::handle flags(arguments.at(1), kRaceWords * 4);
  const bool steady = arguments.at(2) == "steady";
  const std::uint32_t senders = std::stoul(arguments.at(3));
  const std::uint32_t messages = std::stoul(arguments.at(4));
  if (!flags.valid() || !Await([&] { return Word(flags, kStart).load() == 1; })) return 2;
  std::vector<std::int64_t> last(senders, -1);
  // One receive: false when the place was lost or a message came out of order.
  int failure = 0;
  const auto receive = [&](std::uint64_t wait_ms) {
    const ipc::recv_buffer got = in.recv(wait_ms);
    if (in.receiver_bit() == 0) failure = kLostPlace;
    if (got.empty()) return;
    Numbered m{};
    if (got.size() != sizeof(m)) {
      failure = kOutOfOrder;
      return;
    }
    std::memcpy(&m, got.data(), sizeof(m));
    // A message sent again after a failed send may come twice in a row.
    if (m.sender >= senders || m.seq < last[m.sender] || (steady && m.seq > last[m.sender] + 1)) {
      failure = kOutOfOrder;
    }
    last[m.sender % senders] = m.seq;
  };
  const auto deadline = std::chrono::steady_clock::now() + test_support::kChildDeadline;
  if (steady) {
    if (!in.connect(kReceiver)) return kNoPlace;
    Word(flags, kConnected).fetch_add(1);
    const auto done = [&] {
      return std::all_of(last.begin(), last.end(), [&](std::int64_t seq) { return seq + 1 == messages; });
    };
    while (!done() && failure == 0) {
      if (std::chrono::steady_clock::now() > deadline) return kTimedOut;
      receive(50);
    }
    return failure;
  }
  while (Word(flags, kStop).load() == 0 && failure == 0) {
    if (std::chrono::steady_clock::now() > deadline) return kTimedOut;
    if (!in.connect(kReceiver)) return kNoPlace;
    for (int i = 0; i < 4 && failure == 0; ++i) receive(1);
    in.disconnect();
    Word(flags, kRounds).fetch_add(1);
  }
  return failure;
});

// Mend of the scheme's first form: with 32 receivers taking places at once, a loser's late record made
// the winner give its place up, and a channel of 32 receivers stalled.
TEST(ChannelPlace, ReceiversRacingForPlacesKeepThemAndTheSteadyOnesGetEveryMessage) {
  const std::uint32_t steady = kWindowsBuild ? 4 : 8;
  const std::uint32_t churners = kWindowsBuild ? 12 : 24;
  const std::uint32_t senders = 2;
  const std::uint32_t messages = kWindowsBuild ? 500 : 5000;
  const std::string name = Unique("place-race");
  const ipc::shm::handle flags(Unique("place-race-flags"), kRaceWords * 4);
  std::vector<platform::ChildProcess> racers;
  for (std::uint32_t i = 0; i < steady + churners; ++i) {
    auto child = test_support::StartChild("place-racer", {name, flags.name(), i < steady ? "steady" : "churn",
                                                          std::to_string(senders), std::to_string(messages)});
    ASSERT_TRUE(child);
    racers.push_back(std::move(*child));
  }
  Word(flags, kStart).store(1);
  ASSERT_TRUE(Await([&] { return Word(flags, kConnected).load() == steady; }));

  std::vector<std::future<std::uint32_t>> sending;
  for (std::uint32_t s = 0; s < senders; ++s) {
    sending.push_back(std::async(std::launch::async, [&, s] {
      channel out(name, false);
      if (!out.connect(kSender)) return 0u;
      // A strict send fails when a receiver it was meant for leaves before it is written (the
      // receiver that takes that place next wipes the mark); it may have reached the others, so it
      // is sent again under the same number.
      // A send that waited its whole timeout found a place nobody reads: that ends it.
      std::uint32_t seq = 0;
      while (seq < messages) {
        const Numbered m{s, seq};
        const auto start = std::chrono::steady_clock::now();
        if (out.send_strict(&m, sizeof(m), 5000)) {
          ++seq;
        } else if (std::chrono::steady_clock::now() - start >= 5s) {
          break;
        }
      }
      return seq;
    }));
  }
  for (auto& sent : sending) EXPECT_EQ(sent.get(), messages);
  Word(flags, kStop).store(1);
  for (std::uint32_t i = 0; i < racers.size(); ++i) {
    EXPECT_EQ(racers[i].Wait(test_support::kChildDeadline), 0) << (i < steady ? "steady " : "churner ") << i;
  }
  EXPECT_GE(Word(flags, kRounds).load(), churners);
  EXPECT_EQ(QueueView(name, false).connections(), 0u);
}

}  // namespace
