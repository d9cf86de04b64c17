// Linux only: a writer stopped for real by SIGSTOP between claiming a slot and writing it, and root and
// an ordinary user on one Global channel.
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "platform/child_process.h"
#include "platform/process.h"
#include "spindrel/transport/channel.h"
#include "support/shared_word.h"
#include "support/test_support.h"
#include "transport/channel_helpers.h"
#include "transport/held_writer.h"

namespace {

using namespace std::chrono_literals;
using channel_test::ChannelPeers;
using channel_test::HeldWriter;
using channel_test::Holds;
using channel_test::NothingArrivesFor;
using channel_test::Pattern;
using channel_test::RecvWithin;
using ipc::channel;
using test_support::Word;

// The state letter of /proc/<pid>/stat ('T' for a stopped process), or 0 when it cannot be read.
char ProcessState(std::uint32_t pid) {
  const std::string stat = test_support::ReadFile("/proc/" + std::to_string(pid) + "/stat");
  const auto name_end = stat.rfind(')');
  return name_end == std::string::npos || name_end + 2 >= stat.size() ? 0 : stat[name_end + 2];
}

// Mend: a strict send whose writer was stopped for more than a second between its claim and its write
// returned true while every receiver had passed its slot over.
TEST(ChannelStoppedWriter, AWriterStoppedPastTheSkipLimitGetsTrueAndItsMessageArrivesIntact) {
  ChannelPeers peers("stopped-writer");
  ASSERT_TRUE(peers.Ready());
  channel& receiver = peers.receiver();
  for (const std::size_t size : {std::size_t{40}, std::size_t{300}}) {
    SCOPED_TRACE(size);
    HeldWriter writer(peers.name, size);
    ASSERT_TRUE(writer.Held());
    const auto pid = static_cast<pid_t>(writer.child->Pid());
    ASSERT_EQ(::kill(pid, SIGSTOP), 0);
    ASSERT_TRUE(channel_test::Await([&] { return ProcessState(pid) == 'T'; }));
    writer.Go();  // seen only once the writer runs again
    EXPECT_TRUE(NothingArrivesFor(receiver, 1500ms));
    EXPECT_EQ(ProcessState(pid), 'T');
    ASSERT_EQ(::kill(pid, SIGCONT), 0);
    EXPECT_TRUE(Holds(RecvWithin(receiver, 10s), Pattern(size, 1)));
    EXPECT_EQ(writer.ExitCode(), 0);
  }
}

// The words of the flags the two-user test shares with its receiver.
constexpr std::size_t kReady = 0;
constexpr std::size_t kReceived = 1;

// One message of the two-user test: its index, then a pattern that depends on it.
std::vector<std::uint8_t> Numbered(std::uint32_t index) {
  std::vector<std::uint8_t> bytes = Pattern(24, index);
  std::memcpy(bytes.data(), &index, sizeof(index));
  return bytes;
}

// Receives arguments[2] numbered messages, in order, on the Global channel arguments[0], counting them
// in the Global flags arguments[1]. Exit code 0: all arrived; 2: the place was taken from it (evicted);
// 3: a message out of order or damaged; 4: the deadline passed; 1: no channel or flags.
const bool kKeepingUpRole =
    test_support::RegisterChildRole("two-user-receiver", [](const std::vector<std::string>& arguments) {
      const ipc::shm::handle flags(arguments.at(1), 8, true);
      channel in(arguments.at(0), true);
      if (!flags.valid() || !in.connect(channel::mode::receiver)) return 1;
      Word(flags, kReady).store(1);
      const std::uint32_t count = std::stoul(arguments.at(2));
      const auto deadline = std::chrono::steady_clock::now() + test_support::kChildDeadline;
      for (std::uint32_t next = 0; next < count;) {
        if (std::chrono::steady_clock::now() > deadline) return 4;
        const ipc::recv_buffer got = in.recv();
        if (in.receiver_bit() == 0) return 2;
        if (got.empty()) continue;
        if (!Holds(got, Numbered(next))) return 3;
        Word(flags, kReceived).store(++next);
      }
      return 0;
    });

// Mend: between root's and a user's processes on one Global channel, wake-ups got lost, and a plain
// send then forced its write and evicted a receiver that was alive and keeping up. The user is not
// root's login user, so the two use different waiter locks whether or not a login session is known: a
// wake-up between them can still be lost, and must cost time, never the receiver's place.
TEST(ChannelTwoUsers, AnOrdinaryUsersReceiverKeepingUpWithRootsSenderIsNeverEvicted) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root, to run the receiver as a second user";
  constexpr std::uint32_t kCount = 5000;
  // Root makes the Global objects (only root may create Global shared memory); the user opens them.
  const std::string name = test_support::Unique("two-users");
  channel sender(name, true);
  ASSERT_TRUE(sender.connect(channel::mode::sender));
  const ipc::shm::handle flags(test_support::Unique("two-users-flags"), 8, true);
  ASSERT_TRUE(flags.valid());
  auto receiver = platform::ChildProcess::Start(
      "/usr/bin/setpriv", {"--reuid=65534", "--regid=65534", "--clear-groups", platform::ExecutablePath().string(),
                           "--child=two-user-receiver", name, flags.name(), std::to_string(kCount)});
  ASSERT_TRUE(receiver);
  ASSERT_TRUE(channel_test::Await([&] { return Word(flags, kReady).load() == 1 || receiver->Wait(0ms); }));
  ASSERT_EQ(Word(flags, kReady).load(), 1u) << "the receiver ended with " << receiver->Wait(0ms).value_or(-1);

  // The bus's send timeout for threads other than the one that joined.
  std::uint32_t failed = 0;
  for (std::uint32_t i = 0; i < kCount; ++i) {
    const auto bytes = Numbered(i);
    if (!sender.send(bytes.data(), bytes.size(), 200)) ++failed;
  }
  EXPECT_EQ(failed, 0u);
  EXPECT_EQ(receiver->Wait(test_support::kChildDeadline), 0) << Word(flags, kReceived).load() << " received";
}

}  // namespace
