// A bus client's receiver without a place on its channel: started while all 32 were taken, or evicted.
// The client is buspeer listening as a real process; the places and the eviction are the test's.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "spindrel/bus/client.h"
#include "spindrel/transport/channel.h"
#include "support/bus_peers.h"
#include "transport/channel_layout.h"
#include "transport/shm.h"

namespace {

using test_support::FileLines;
using test_support::PollUntil;

// Clients 110017 and 110014 in the local scope belong to this test alone.
int RunBuspeer(const std::vector<std::string>& arguments) {
  auto peer = test_support::StartProgram("buspeer", arguments);
  return peer ? peer->Wait(test_support::kChildDeadline).value_or(-1) : -1;
}

// Sends msg_id to client `to` until a send finds a receiver there.
bool SendUntilReceived(const std::string& to, int msg_id) {
  return PollUntil([&] {
    return RunBuspeer({"send", "--from", "110013", "--to", to, "--msg", std::to_string(msg_id), "--local"}) == 0;
  });
}

// buspeer listening as client `as` in the local scope for `count` messages, writing them to a file.
struct Listener {
  Listener(int as, int count)
      : listened(temp.Path() / "listened.txt"),
        process(test_support::StartProgram(
            "buspeer", {"listen", "--as", std::to_string(as), "--local", "--count", std::to_string(count)}, listened)) {
  }

  test_support::TempDir temp;
  const std::filesystem::path listened;
  std::optional<platform::ChildProcess> process;
};

std::atomic_ref<std::uint32_t> Connections(const ipc::shm::handle& queue) {
  return std::atomic_ref<std::uint32_t>(static_cast<ipc::layout::queue*>(queue.get())->connections);
}

// Mend: a client started while every place was taken stayed deaf for good, and said nothing.
TEST(ReceiverPlace, AClientStartedWithEveryPlaceTakenReceivesOnceOneFrees) {
  const std::string name = ipc::GetClientName(110017);
  std::vector<ipc::channel> squatters;
  for (std::uint32_t i = 0; i < ipc::layout::max_receivers; ++i) {
    squatters.emplace_back(name, false);
    ASSERT_TRUE(squatters.back().connect(ipc::channel::mode::receiver)) << i;
  }
  Listener listener(110017, 1);
  ASSERT_TRUE(listener.process);
  ASSERT_TRUE(test_support::WaitForClient(110017, false));

  squatters.clear();
  ASSERT_TRUE(SendUntilReceived("110017", 31));
  EXPECT_EQ(listener.process->Wait(test_support::kChildDeadline), 0);
  const auto lines = FileLines(listener.listened);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("\"msg_id\":31"), std::string::npos) << lines[0];
}

// Mend: an evicted client never took a place again.
TEST(ReceiverPlace, AnEvictedClientReceivesAgain) {
  const std::string name = ipc::GetClientName(110014);
  Listener listener(110014, 2);
  ASSERT_TRUE(listener.process);
  ASSERT_TRUE(test_support::WaitForClient(110014, false));
  ASSERT_TRUE(SendUntilReceived("110014", 1));

  // What a sender that forces a write does to a receiver it evicts: its bit leaves the registry.
  const ipc::shm::handle queue(ipc::layout::queue_name(name), sizeof(ipc::layout::queue), false);
  ASSERT_TRUE(queue.valid());
  const std::uint32_t evicted = Connections(queue).load();
  ASSERT_NE(evicted, 0u);
  Connections(queue).fetch_and(~evicted);
  EXPECT_TRUE(PollUntil([&] { return Connections(queue).load() != 0; }));  // it takes a place again
  ASSERT_TRUE(SendUntilReceived("110014", 2));
  EXPECT_EQ(listener.process->Wait(test_support::kChildDeadline), 0);
  EXPECT_EQ(FileLines(listener.listened).size(), 2u);
}

}  // namespace
