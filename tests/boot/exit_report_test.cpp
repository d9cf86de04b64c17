// The exit report end to end: the exit monitor sends its notices to sibling clients that buspeer plays.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <future>

#include "common/ipc/core/base/quality_monitor.h"
#include "common/util/registry.h"
#include "common/util/registry_sandbox.h"
#include "platform/process.h"
#include "spindrel/bus/client.h"
#include "spindrel/bus/handler.h"
#include "spindrel/bus/ipc_core.h"
#include "spindrel/bus/sender.h"
#include "support/bus_peers.h"

namespace {

using nlohmann::json;
using test_support::FileLines;
using test_support::PollUntil;

// Send counts of the exit monitor's notices in the registry report, by target.
std::map<std::int32_t, std::uint64_t> NoticeCounts() {
  std::map<std::int32_t, std::uint64_t> counts;
  const std::u16string text = ReadRegString(platform::RegistryRoot::kCurrentUser, u"", ipc::kSendReportValue, u"[]");
  for (const json& row : json::parse(platform::Utf16ToUtf8(text))) {
    if (row.at(0).at("from") == 110013) counts[row.at(0).at("to").get<std::int32_t>()] = row.at(1).at("success");
  }
  return counts;
}

// One test, so that no two processes play the same sibling at once.
TEST(ExitReport, NoticesReachTheSiblingsTheProcessTypeNames) {
  test_support::TempDir temp;
  test_support::RegistrySandbox registry;
  auto environment = temp.TempEnvironment();
  for (auto& variable : registry.Environment()) environment.push_back(variable);
  const auto run_monitor = [&](const std::string& process_type) {
    auto monitor = test_support::StartProgram(
        "spindrel", {"--spe-src", "1", "--spe-dst", "2", "--spe-dstatus", "3", "--process-type", process_type}, {},
        environment);
    EXPECT_TRUE(monitor);
    const std::uint32_t pid = monitor->Pid();
    EXPECT_EQ(monitor->Wait(test_support::kChildDeadline), 0);
    return pid;
  };

  // With nobody listening the run still ends normally.
  run_monitor("2");

  auto before = NoticeCounts();
  const auto game_out = temp.Path() / "game.txt";
  const auto emulator_out = temp.Path() / "emulator.txt";
  auto game = test_support::StartProgram("buspeer", {"listen", "--as", "110016", "--global"}, game_out);
  auto emulator = test_support::StartProgram("buspeer", {"listen", "--as", "TwEmulator", "--global"}, emulator_out);
  ASSERT_TRUE(game && emulator);
  ASSERT_TRUE(test_support::WaitForClient(110016, true));
  ASSERT_TRUE(test_support::WaitForClient(110002, true));

  const std::uint32_t both = run_monitor("2");
  ASSERT_TRUE(PollUntil([&] { return FileLines(game_out).size() == 1 && FileLines(emulator_out).size() == 1; }));
  const std::uint32_t emulator_only = run_monitor("6");
  ASSERT_TRUE(PollUntil([&] { return FileLines(emulator_out).size() == 2; }));
  EXPECT_FALSE(ipc::IsClientAlive(110013, platform::IsProcessElevated()));  // it left the bus
  game->Kill();
  emulator->Kill();

  const auto check = [](const std::string& line, std::int32_t to, std::int32_t msg_id, std::uint32_t pid) {
    const json packet = json::parse(line);
    EXPECT_EQ(packet.at("from"), 110013);
    EXPECT_EQ(packet.at("to"), to);
    EXPECT_EQ(packet.at("msg_id"), msg_id);
    EXPECT_TRUE(packet.at("data").is_null());
    EXPECT_EQ(packet.at("from_process_id"), pid);
    EXPECT_EQ(packet.at("to_process_id"), 0);
    EXPECT_EQ(packet.at("handle_self_ipc"), false);
    EXPECT_EQ(packet.at("uac"), platform::IsProcessElevated());
    EXPECT_EQ(packet.at("unique_id").get<std::string>().size(), 36u);
  };
  const auto game_lines = FileLines(game_out);
  const auto emulator_lines = FileLines(emulator_out);
  ASSERT_EQ(game_lines.size(), 1u);
  ASSERT_EQ(emulator_lines.size(), 2u);
  check(game_lines[0], 110016, 83000, both);
  check(emulator_lines[0], 110002, 20017, both);
  check(emulator_lines[1], 110002, 20017, emulator_only);

  // The runs with listeners counted their accepted notices into the registry report.
  auto after = NoticeCounts();
  EXPECT_EQ(after[110016] - before[110016], 1u);
  EXPECT_EQ(after[110002] - before[110002], 2u);
}

// A bus whose handler hangs at shutdown: some clients end themselves rather than wait.
const bool kStallRole = test_support::RegisterChildRole("stall-on-shutdown", [](const std::vector<std::string>& args) {
  const std::int32_t client = std::stoi(args.at(0));
  const bool global = args.at(1) == "global";
  ipc::IpcCore& core = ipc::IpcCore::Instance();
  std::promise<void> started;
  core.Handler()->Register(
      1,
      [&started](ipc::IpcPacketPtr) {
        started.set_value();
        std::this_thread::sleep_for(std::chrono::seconds(7));  // the hung handler, still busy when the wait ends
        return true;
      },
      [](ipc::IpcPacketPtr, std::function<void()> work) { work(); });  // runs on the handler pool
  if (!core.Init(client, global)) return 9;
  auto packet = ipc::CreatePacket(client, 1, nullptr);
  packet->handle_self_ipc = true;
  if (!ipc::SendPacket(packet, global)) return 10;
  if (started.get_future().wait_for(std::chrono::seconds(20)) != std::future_status::ready) return 11;
  // Shut down once the handler has run long enough to count as stuck when the 5 s idle wait ends.
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  core.Uninit(false);
  return 42;  // only a client that waits for its handler gets here
});

TEST(ExitReport, AStuckHandlerEndsOnlyTheClientsThatPreferIt) {
  // 110013 plays the waiting client in the scope the exit monitor does not use, so that it never meets
  // another test's exit monitor.
  const bool other_scope = !platform::IsProcessElevated();
  auto launcher = test_support::StartChild("stall-on-shutdown", {"110009", other_scope ? "global" : "local"});
  auto monitor = test_support::StartChild("stall-on-shutdown", {"110013", other_scope ? "global" : "local"});
  ASSERT_TRUE(launcher && monitor);
  EXPECT_EQ(launcher->Wait(test_support::kChildDeadline), 0);
  EXPECT_EQ(monitor->Wait(test_support::kChildDeadline), 42);
}

}  // namespace
