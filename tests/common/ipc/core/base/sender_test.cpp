// SendPacket against real receivers: the packet limit, and channels kept between sends.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "spindrel/bus/client.h"
#include "spindrel/bus/ipc_core.h"
#include "spindrel/bus/packet.h"
#include "spindrel/bus/sender.h"
#include "support/bus_peers.h"
#include "support/log_capture.h"

namespace {

using test_support::LogCapture;

// Clients 110008 and 110010 in the local scope belong to this file alone, and to one of its tests at a
// time (tests/CMakeLists.txt runs them one after another).
constexpr std::int32_t kTarget = 110008;
constexpr std::int32_t kSelf = 110010;

class SendPacket : public testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(ipc::IpcCore::Instance().Init(kSelf, false)); }
  void TearDown() override { ipc::IpcCore::Instance().Uninit(false); }
};

TEST_F(SendPacket, RefusesAPacketLongerThanAReceiverTakesWithALine) {
  const LogCapture capture;
  LogCapture::Take();
  const std::string body(ipc::kMaxPacketBytes, 'x');
  EXPECT_FALSE(ipc::SendPacket(ipc::CreatePacket(kTarget, 5, body), false));
  const auto lines = LogCapture::Take();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].level, ipc::log_level_failure);
  EXPECT_TRUE(lines[0].text.starts_with("packet too long.[To]110008[MsgId]5[Bytes]")) << lines[0].text;
}

// A listener that takes one packet and exits; the packet it got, or null.
nlohmann::json ListenOnce(const std::function<bool()>& send) {
  test_support::TempDir temp;
  const auto listened = temp.Path() / "listened.txt";
  auto listener = test_support::StartProgram(
      "buspeer", {"listen", "--as", std::to_string(kTarget), "--local", "--count", "1"}, listened);
  if (!listener || !test_support::WaitForClient(kTarget, false)) return nullptr;
  const bool sent = send();
  const auto code = listener->Wait(test_support::kChildDeadline);
  if (!sent || code != 0) return nullptr;
  const auto lines = test_support::FileLines(listened);
  return lines.empty() ? nullptr : nlohmann::json::parse(lines.front());
}

TEST_F(SendPacket, KeepsItsChannelUntilUninitAndStillReachesAReceiverThatCameBack) {
  const auto send = [](std::int32_t msg_id) {
    return [msg_id] { return ipc::SendPacket(ipc::CreatePacket(kTarget, msg_id, {{"n", msg_id}}), false); };
  };
  const nlohmann::json first = ListenOnce(send(31));
  ASSERT_FALSE(first.is_null());
  EXPECT_EQ(first.at("msg_id"), 31);
  EXPECT_EQ(ipc::KeptChannelCount(), 1u);

  // The receiver has gone, its channel is still held here; a new one joins under the same name.
  ASSERT_TRUE(test_support::PollUntil([] { return !ipc::IsClientAlive(kTarget, false); }));
  const nlohmann::json second = ListenOnce(send(32));
  ASSERT_FALSE(second.is_null());
  EXPECT_EQ(second.at("msg_id"), 32);
  EXPECT_EQ(second.at("data"), nlohmann::json({{"n", 32}}));
  EXPECT_EQ(ipc::KeptChannelCount(), 1u);

  ipc::IpcCore::Instance().Uninit(false);
  EXPECT_EQ(ipc::KeptChannelCount(), 0u);
}

TEST_F(SendPacket, ClosesAKeptChannelOnlyOnceItIsIdle) {
  ASSERT_FALSE(ListenOnce([] { return ipc::SendPacket(ipc::CreatePacket(kTarget, 33, {}), false); }).is_null());
  ASSERT_EQ(ipc::KeptChannelCount(), 1u);
  ipc::CloseIdleKeptChannels();  // used a moment ago
  EXPECT_EQ(ipc::KeptChannelCount(), 1u);
  ipc::CloseIdleKeptChannels(std::chrono::milliseconds(0));
  EXPECT_EQ(ipc::KeptChannelCount(), 0u);
}

}  // namespace
