// A process that used the bus and then forks: the child must be able to open channels of its own and
// send on them, and whatever it inherited must fail cleanly, never crash. The child is a real fork of
// the test process; it ends with _exit and reports through its exit code.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "spindrel/bus/ipc_core.h"
#include "spindrel/transport/channel.h"
#include "transport/channel_helpers.h"

namespace {

using namespace std::chrono_literals;
using channel_test::ChannelPeers;
using channel_test::Holds;
using channel_test::Pattern;
using ipc::channel;

// Larger than a slot: it goes through a chunk pool, which the parent has mapped too.
constexpr std::size_t kLarge = 3000;

// Runs child in a forked process; its exit code (128 + signal when a signal ended it), or -1 when it
// did not end within the deadline (it is killed then).
template <typename Child>
int RunForked(Child child) {
  const pid_t pid = ::fork();
  if (pid == 0) ::_exit(child());
  if (pid < 0) return -1;
  const auto deadline = std::chrono::steady_clock::now() + test_support::kChildDeadline;
  int status = 0;
  while (::waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(1ms);
  }
  return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
}

// In the child: the inherited sender fails cleanly, a channel of the child's own sends a small and a
// large message. Each failure is a bit of the exit code.
int SendFromChild(channel& inherited, const std::string& name) {
  int failures = 0;
  const auto small = Pattern(40, 1);
  if (inherited.valid() || inherited.send(small.data(), small.size(), 100)) failures |= 1;
  channel own(name, false);
  if (!own.connect(channel::mode::sender)) failures |= 2;
  if (!own.send(small.data(), small.size(), 5000)) failures |= 4;
  const auto large = Pattern(kLarge, 2);
  if (!own.send(large.data(), large.size(), 5000)) failures |= 8;
  if (own.conn_id() == 0 || own.conn_id() == inherited.conn_id()) failures |= 16;
  return failures;
}

void ExpectChildMessages(channel& receiver) {
  const ipc::recv_buffer small = receiver.recv(5000);
  EXPECT_TRUE(Holds(small, Pattern(40, 1)));
  const ipc::recv_buffer large = receiver.recv(5000);
  EXPECT_TRUE(Holds(large, Pattern(kLarge, 2)));
}

// Uses the channel both ways, small and large, so that the queue, the counters, the waiters and a
// pool are all mapped before the fork.
void UseChannel(ChannelPeers& peers) {
  for (const std::size_t size : {std::size_t{40}, kLarge}) {
    const auto bytes = Pattern(size, 9);
    ASSERT_TRUE(peers.sender.send(bytes.data(), bytes.size(), 1000));
    EXPECT_TRUE(Holds(peers.receiver().recv(1000), bytes));
  }
}

TEST(Fork, AChildOfAChannelUserSendsOnAChannelOfItsOwn) {
  ChannelPeers peers("fork-channel");
  ASSERT_TRUE(peers.Ready());
  UseChannel(peers);

  EXPECT_EQ(RunForked([&] { return SendFromChild(peers.sender, peers.name); }), 0);
  ExpectChildMessages(peers.receiver());
  // The parent's objects are untouched by the child's end.
  UseChannel(peers);
}

TEST(Fork, AChildOfABusClientSendsOnAChannelOfItsOwn) {
  constexpr std::int32_t kClient = 190000;  // a client no other test joins as
  ipc::IpcCore& core = ipc::IpcCore::Instance();
  ASSERT_TRUE(core.Init(kClient, false));
  ChannelPeers peers("fork-client");
  ASSERT_TRUE(peers.Ready());
  UseChannel(peers);

  EXPECT_EQ(RunForked([&] {
              const int failures = SendFromChild(peers.sender, peers.name);
              // The parent still holds its liveness mutex: the child sees it on the bus.
              return failures | (ipc::IsClientAlive(kClient, false) ? 0 : 32);
            }),
            0);
  ExpectChildMessages(peers.receiver());
  EXPECT_TRUE(ipc::IsClientAlive(kClient, false));
  core.Uninit(false);
}

}  // namespace
