// buspeer as its users run it: a peer answering queries, packets sent by hand, and usage errors.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "platform/named_sync.h"
#include "spindrel/bus/client.h"
#include "support/bus_peers.h"

namespace {

using nlohmann::json;
using test_support::FileLines;

int RunBuspeer(const std::vector<std::string>& arguments, const std::filesystem::path& output = {}) {
  auto peer = test_support::StartProgram("buspeer", arguments, output);
  return peer ? peer->Wait(test_support::kChildDeadline).value_or(-1) : -1;
}

// Clients 120001 and 120002 in the local scope belong to this test alone.
TEST(Buspeer, AnswersQueriesAndReceivesPackets) {
  test_support::TempDir temp;
  const auto listened = temp.Path() / "listened.txt";
  auto answering = test_support::StartProgram(
      "buspeer", {"listen", "--as", "120001", "--local", "--answer", R"({"a":1})", "--count", "2"}, listened);
  auto silent = test_support::StartProgram("buspeer", {"listen", "--as", "TwCorvaneAssistant", "--local"});
  ASSERT_TRUE(answering && silent);
  ASSERT_TRUE(test_support::WaitForClient(120001, false));
  ASSERT_TRUE(test_support::WaitForClient(120002, false));

  const auto answer = temp.Path() / "answer.txt";
  EXPECT_EQ(RunBuspeer({"query", "--from", "110013", "--to", "120001", "--query", "7", "--data", "[1,2]", "--local",
                        "--timeout", "10000"},
                       answer),
            0);
  EXPECT_EQ(FileLines(answer), std::vector<std::string>{R"({"a":1})"});

  EXPECT_EQ(
      RunBuspeer({"send", "--from", "110013", "--to", "120001", "--msg", "42", "--data", R"({"k":"v"})", "--local"}),
      0);
  ASSERT_EQ(answering->Wait(test_support::kChildDeadline), 0);  // it stops after its two packets
  const auto lines = FileLines(listened);
  ASSERT_EQ(lines.size(), 2u);
  const json query = json::parse(lines[0]);
  EXPECT_EQ(query.at("data"), json::parse(R"({"data":[1,2],"query_id":7})"));
  EXPECT_TRUE(query.at("response_channel").get<std::string>().starts_with("buspeer_reply_"));
  EXPECT_EQ(query.at("uac"), false);  // asked from the local scope, answered there
  const json sent = json::parse(lines[1]);
  EXPECT_EQ(sent.at("msg_id"), 42);
  EXPECT_EQ(sent.at("data"), json::parse(R"({"k":"v"})"));

  // A peer without an answer for the query lets the asker give up.
  EXPECT_EQ(RunBuspeer({"query", "--from", "110013", "--to", "120002", "--query", "7", "--local", "--timeout", "500"}),
            1);
  silent->Kill();
}

TEST(Buspeer, ListenFailsWithAReasonWhenItCannotJoin) {
  // Client 160001 belongs to this test alone; its liveness mutex's name is held by a semaphore.
  platform::ErrorCode error = 0;
  const platform::NamedObject squatter = platform::CreateNamedSemaphore(ipc::InitedMutexName(160001, false), error);
  ASSERT_TRUE(squatter) << error;
  test_support::TempDir temp;
  const auto errors = temp.Path() / "errors.txt";
  const auto listened = temp.Path() / "listened.txt";
  auto listener = platform::ChildProcess::Start(test_support::ProgramPath("buspeer"),
                                                {"listen", "--as", "160001", "--local", "--timeout", "20000"}, {},
                                                listened, errors);
  ASSERT_TRUE(listener);
  EXPECT_EQ(listener->Wait(test_support::kChildDeadline), 1);  // a listener that joined ends with 0 at its timeout
  EXPECT_EQ(test_support::ReadFile(listened), "");
  const std::string message = test_support::ReadFile(errors);
  EXPECT_TRUE(message.starts_with("buspeer: cannot join the bus as TwStrellSdk (local):")) << message;
  EXPECT_NE(message.find("velmora_ipc_inited_TwStrellSdk"), std::string::npos) << message;
}

TEST(Buspeer, RejectsBadArguments) {
  EXPECT_EQ(RunBuspeer({}), 2);
  EXPECT_EQ(RunBuspeer({"listen"}), 2);
  EXPECT_EQ(RunBuspeer({"listen", "--as", "NoSuchClient"}), 2);
  EXPECT_EQ(RunBuspeer({"send", "--from", "110013", "--to", "110016", "--msg", "x"}), 2);
  EXPECT_EQ(RunBuspeer({"send", "--from", "110013", "--to", "110016", "--msg", "1", "--data", "{bad"}), 2);
  EXPECT_EQ(RunBuspeer({"watch", "110016", "--global", "--local"}), 2);
  EXPECT_EQ(RunBuspeer({"frobnicate"}), 2);
  EXPECT_EQ(RunBuspeer({"--help"}), 0);
}

}  // namespace
