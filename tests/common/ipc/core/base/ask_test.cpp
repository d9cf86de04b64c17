// Asking a query in one call, of a real answerer in another process.
#include <gtest/gtest.h>

#include <chrono>

#include "spindrel/bus/ask.h"
#include "spindrel/bus/client.h"
#include "spindrel/transport/channel.h"
#include "support/bus_peers.h"
#include "support/log_capture.h"

namespace {

using namespace std::chrono_literals;
using nlohmann::json;

bool Logged(const std::vector<test_support::LoggedLine>& lines, const std::string& part) {
  for (const auto& line : lines) {
    if (line.level == ipc::log_level_failure && line.text.find(part) != std::string::npos) return true;
  }
  return false;
}

// Clients 110004, 110005 and 110011 in the local scope belong to this file alone.
TEST(Ask, GetsTheAnswerOrNothingWithAReason) {
  test_support::TempDir temp;
  auto answerer = test_support::StartProgram(
      "buspeer", {"listen", "--as", "110004", "--local", "--answer", R"({"status":"up"})", "--count", "2"},
      temp.Path() / "answerer.txt");
  ASSERT_TRUE(answerer);
  ASSERT_TRUE(test_support::WaitForClient(110004, false));

  ipc::AskOptions local;
  local.global = false;
  local.from = ipc::kExitMonitorClientId;
  EXPECT_EQ(ipc::Ask(110004, 5, json::array({1, 2}), 10s, local), json::parse(R"({"status":"up"})"));
  // The answerer's last query is answered although it leaves right after it.
  EXPECT_EQ(ipc::Ask(110004, 6, nullptr, 10s, local), json::parse(R"({"status":"up"})"));
  EXPECT_EQ(answerer->Wait(test_support::kChildDeadline), 0);

  const test_support::LogCapture capture;
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(ipc::Ask(110005, 5, nullptr, 300ms, local), std::nullopt);  // nobody receives
  EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
  EXPECT_EQ(ipc::Ask(110007, 5, nullptr, 300ms, local), std::nullopt);              // a client without a name
  EXPECT_EQ(ipc::Ask(110005, 5, std::string("\xff"), 300ms, local), std::nullopt);  // no UTF-8: no throw
  const auto lines = test_support::LogCapture::Take();
  EXPECT_TRUE(Logged(lines, "TwUninstall (local) took no query"));
  EXPECT_TRUE(Logged(lines, "no client 110007"));
  EXPECT_TRUE(Logged(lines, "not sent"));
}

TEST(Ask, GivesUpWhenTheTargetDoesNotAnswer) {
  // A receiver on the channel that is no client: the query is taken and never answered.
  ipc::channel silent(ipc::GetClientName(110011), false);
  ASSERT_TRUE(silent.connect(ipc::channel::mode::receiver));
  const test_support::LogCapture capture;
  ipc::AskOptions local;
  local.global = false;
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(ipc::Ask(110011, 9, nullptr, 300ms, local), std::nullopt);
  const auto waited = std::chrono::steady_clock::now() - started;
  EXPECT_GE(waited, 300ms);
  EXPECT_LT(waited, 5s);
  EXPECT_TRUE(Logged(test_support::LogCapture::Take(),
                     "no answer from TwInstallerDownloader (local) to query 9 within 300 ms"));
}

}  // namespace
