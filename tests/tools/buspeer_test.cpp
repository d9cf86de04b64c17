// buspeer as its users run it: a peer answering queries, packets sent by hand, what it says on stderr,
// and its command line.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "platform/named_sync.h"
#include "spindrel/bus/client.h"
#include "support/bus_peers.h"

namespace {

using nlohmann::json;
using test_support::FileLines;

struct Outcome {
  int code = -1;
  std::string out;
  std::string err;
};

Outcome RunBuspeer(const std::vector<std::string>& arguments) {
  test_support::TempDir temp;
  auto peer = platform::ChildProcess::Start(test_support::ProgramPath("buspeer"), arguments, {},
                                            temp.Path() / "out.txt", temp.Path() / "err.txt");
  Outcome run;
  if (peer) run.code = peer->Wait(test_support::kChildDeadline).value_or(-1);
  // Line ends as on Linux: Windows' text-mode output ends its lines with CR LF.
  for (auto [text, file] : {std::pair{&run.out, "out.txt"}, std::pair{&run.err, "err.txt"}}) {
    *text = test_support::ReadFile(temp.Path() / file);
    std::erase(*text, '\r');
  }
  return run;
}

// A listener started the way scripts start it: in the background, waited for by the line it prints.
struct Listener {
  Listener(const test_support::TempDir& temp, const std::string& name, const std::vector<std::string>& arguments)
      : out(temp.Path() / (name + ".out")), err(temp.Path() / (name + ".err")) {
    std::vector<std::string> all{"listen"};
    all.insert(all.end(), arguments.begin(), arguments.end());
    process = platform::ChildProcess::Start(test_support::ProgramPath("buspeer"), all, {}, out, err);
  }
  // True once the listener said that it joined, with its first line of stderr.
  bool Joined(std::string& line) const {
    const bool said =
        test_support::PollUntil([&] { return test_support::ReadFile(err).find('\n') != std::string::npos; });
    line = said ? FileLines(err).front() : "";
    return said;
  }
  std::filesystem::path out;
  std::filesystem::path err;
  std::optional<platform::ChildProcess> process;
};

// Clients 120001 and 120002 in the local scope belong to this test alone.
TEST(Buspeer, AnswersQueriesAndReceivesPackets) {
  test_support::TempDir temp;
  Listener answering(temp, "answering", {"--as=twcorvanesdk", "--local", "--answer", R"({"a":1})", "--count=2"});
  Listener silent(temp, "silent", {"--as", "TwCorvaneAssistant", "--local"});
  ASSERT_TRUE(answering.process && silent.process);
  std::string line;
  ASSERT_TRUE(answering.Joined(line));
  EXPECT_EQ(line, "listening as TwCorvaneSdk (120001, local)");
  ASSERT_TRUE(silent.Joined(line));

  const Outcome clients = RunBuspeer({"clients", "--json"});
  EXPECT_EQ(clients.code, 0);
  const json listed = json::parse(clients.out);
  // Linux tells who holds a liveness mutex; Windows does not.
#if defined(_WIN32)
  const json pid;
#else
  const json pid = answering.process->Pid();
#endif
  EXPECT_NE(std::find(listed.begin(), listed.end(),
                      json{{"id", 120001}, {"name", "TwCorvaneSdk"}, {"scope", "local"}, {"pid", pid}}),
            listed.end())
      << clients.out;

  EXPECT_EQ(
      RunBuspeer({"send", "--from", "110013", "--to", "120001", "--msg=42", "--data", R"({"k":"v"})", "--local"}).code,
      0);
  // The listener's last packet is a query: it still answers it before it leaves.
  const Outcome answer =
      RunBuspeer({"query", "--from", "110013", "--to", "120001", "--query", "7", "--data", "[1,2]", "--local"});
  EXPECT_EQ(answer.code, 0) << answer.err;
  EXPECT_EQ(answer.out, "{\"a\":1}\n");
  ASSERT_EQ(answering.process->Wait(test_support::kChildDeadline), 0);
  const auto lines = FileLines(answering.out);
  ASSERT_EQ(lines.size(), 2u);
  const json sent = json::parse(lines[0]);
  EXPECT_EQ(sent.at("msg_id"), 42);
  EXPECT_EQ(sent.at("data"), json::parse(R"({"k":"v"})"));
  const json query = json::parse(lines[1]);
  EXPECT_EQ(query.at("data"), json::parse(R"({"data":[1,2],"query_id":7})"));
  EXPECT_EQ(query.at("uac"), false);  // asked from the local scope, answered there

  // A peer without an answer for the query lets the asker give up, and says what to check.
  const Outcome unanswered =
      RunBuspeer({"query", "--from", "110013", "--to", "120002", "--query", "7", "--local", "--timeout", "300"});
  EXPECT_EQ(unanswered.code, 1);
  EXPECT_NE(unanswered.err.find("no answer from TwCorvaneAssistant to query 7 within 300 ms"), std::string::npos)
      << unanswered.err;
  silent.process->Kill();
}

// Client 170001 in the local scope belongs to this test alone.
TEST(Buspeer, CarriesLargeBodiesFromAFileAndRefusesWhatIsNotUtf8) {
  test_support::TempDir temp;
  const std::string large(300 * 1024, 'x');  // more than a command line holds
  test_support::WriteFile(temp.Path() / "large.json", json(large).dump());
  test_support::WriteFile(temp.Path() / "latin1.json", "\"caf\xe9\"");
  Listener listener(temp, "listener", {"--as", "TwNetbar", "--local", "--count", "1"});
  std::string line;
  ASSERT_TRUE(listener.Joined(line));

  const Outcome refused = RunBuspeer({"send", "--from", "110013", "--to", "170001", "--msg", "1", "--local", "--data",
                                      "@" + (temp.Path() / "latin1.json").string()});
  EXPECT_EQ(refused.code, 2);
  EXPECT_NE(refused.err.find("byte 4 is not UTF-8"), std::string::npos) << refused.err;

  EXPECT_EQ(RunBuspeer({"send", "--from", "110013", "--to", "170001", "--msg", "1", "--local", "--data",
                        "@" + (temp.Path() / "large.json").string()})
                .code,
            0);
  ASSERT_EQ(listener.process->Wait(test_support::kChildDeadline), 0);
  const auto lines = FileLines(listener.out);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(json::parse(lines[0]).at("data"), large);
}

TEST(Buspeer, SaysWhyItFailed) {
  // Client 160001 belongs to this test alone; its liveness mutex's name is held by a semaphore.
  platform::ErrorCode error = 0;
  const platform::NamedObject squatter = platform::CreateNamedSemaphore(ipc::InitedMutexName(160001, false), error);
  ASSERT_TRUE(squatter) << error;
  const Outcome listen = RunBuspeer({"listen", "--as", "160001", "--local", "--timeout", "20000"});
  EXPECT_EQ(listen.code, 1);  // a listener that joined ends with 0 at its timeout
  EXPECT_EQ(listen.out, "");
  EXPECT_TRUE(listen.err.starts_with("buspeer: cannot join the bus as TwStrellSdk (local):")) << listen.err;
  EXPECT_NE(listen.err.find("velmora_ipc_inited_TwStrellSdk"), std::string::npos) << listen.err;

  // Nobody receives as client 160001.
  const Outcome send = RunBuspeer({"send", "--from", "110013", "--to", "TwStrellSdk", "--msg", "1", "--local"});
  EXPECT_EQ(send.code, 1);
  EXPECT_EQ(send.err, "buspeer: no receiver on TwStrellSdk's local channel; is it running? see `buspeer clients`\n");

  const Outcome stats = RunBuspeer({"stats", "--json"});
  EXPECT_EQ(stats.code, 0);
  const json document = json::parse(stats.out);
  EXPECT_TRUE(document.contains("sent") && document.contains("received")) << stats.out;
}

TEST(Buspeer, HasAConventionalCommandLine) {
  for (const char* command : {"listen", "watch", "send", "query", "clients", "stats"}) {
    const Outcome help = RunBuspeer({command, "--help"});
    EXPECT_EQ(help.code, 0) << command;
    EXPECT_NE(help.out.find(std::string("Usage: buspeer ") + command), std::string::npos) << help.out;
  }
  EXPECT_NE(RunBuspeer({"query", "--help"}).out.find("(default: 1000)"), std::string::npos);
  const Outcome version = RunBuspeer({"--version"});
  EXPECT_EQ(version.code, 0);
  EXPECT_TRUE(version.out.starts_with("buspeer 0.")) << version.out;

  const Outcome bad_number = RunBuspeer({"send", "--from", "110013", "--to", "110016", "--msg", "x"});
  EXPECT_EQ(bad_number.code, 2);
  EXPECT_NE(bad_number.err.find("try `buspeer send --help`"), std::string::npos) << bad_number.err;
  const Outcome no_client = RunBuspeer({"listen", "--as", "NoSuchClient"});
  EXPECT_EQ(no_client.code, 2);
  EXPECT_NE(no_client.err.find("no client NoSuchClient"), std::string::npos) << no_client.err;
  EXPECT_EQ(RunBuspeer({}).code, 2);
  EXPECT_EQ(RunBuspeer({"listen"}).code, 2);
  EXPECT_EQ(RunBuspeer({"send", "--from", "110013", "--to", "110016", "--msg", "1", "--data", "{bad"}).code, 2);
  EXPECT_EQ(RunBuspeer({"watch", "110016", "--global", "--local"}).code, 2);
  EXPECT_EQ(RunBuspeer({"frobnicate"}).code, 2);
}

}  // namespace
