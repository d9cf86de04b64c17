// A private bus: jobs given different folders use the same names at once and never meet, nor meet the
// default bus; a folder that cannot be used fails every object, and says why.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

#include "platform/named_sync.h"
#include "platform/private_bus.h"
#include "platform/private_bus_job.h"
#include "platform/registry.h"
#include "platform/unicode.h"
#include "spindrel/transport/channel.h"
#include "support/bus_peers.h"
#include "support/log_capture.h"

namespace {

namespace fs = std::filesystem;
using test_support::PrivateBusJob;
using test_support::StartChild;

// What the sender role reports, as bits of its exit code.
constexpr int kSentGlobal = 1;
constexpr int kSentLocal = 2;
constexpr int kSawListener = 4;

std::u16string TestKey(const std::string& name) { return u"Software\\spindrel-test\\" + platform::Utf8ToUtf16(name); }

std::string AliveName(const std::string& name) { return "Global\\" + name + "-alive"; }

// Receives on the global and the local channel of the name until each brings "end", and writes what
// else came to the file of the second argument: a "g:" line per global message, then an "l:" line per
// local one.
const bool kListenRole =
    test_support::RegisterChildRole("private-bus-listen", [](const std::vector<std::string>& args) {
      const std::string& name = args.at(0);
      ipc::channel global(name, true);
      ipc::channel local(name, false);
      if (!global.connect(ipc::channel::mode::receiver) || !local.connect(ipc::channel::mode::receiver)) return 2;
      platform::ErrorCode error = 0;
      const platform::NamedObject alive = platform::CreateOwnedMutex(AliveName(name), error);
      if (!alive) return 3;
      test_support::WriteFile(args.at(1) + ".ready", "");
      std::string from_global;
      std::string from_local;
      bool global_ended = false;
      bool local_ended = false;
      const auto take = [](ipc::channel& channel, const char* tag, std::string& got, bool& ended) {
        if (ended) return;
        const ipc::recv_buffer message = channel.recv(50);
        if (message.empty()) return;
        const std::string text(static_cast<const char*>(message.data()), message.size());
        if (text == "end") {
          ended = true;
        } else {
          got += tag + text + "\n";
        }
      };
      const auto deadline = std::chrono::steady_clock::now() + test_support::kChildDeadline;
      while (!global_ended || !local_ended) {
        if (std::chrono::steady_clock::now() >= deadline) return 4;
        take(global, "g:", from_global, global_ended);
        take(local, "l:", from_local, local_ended);
      }
      test_support::WriteFile(args.at(1), from_global + from_local);
      return 0;
    });

// Sends the payload on the global and the local channel of the name, and looks for a listener's mutex.
const bool kSendRole = test_support::RegisterChildRole("private-bus-send", [](const std::vector<std::string>& args) {
  const std::string& name = args.at(0);
  const std::string& payload = args.at(1);
  int seen = 0;
  ipc::channel global(name, true);
  if (global.connect(ipc::channel::mode::sender) && global.send(payload.data(), payload.size(), 1000)) {
    seen |= kSentGlobal;
  }
  ipc::channel local(name, false);
  if (local.connect(ipc::channel::mode::sender) && local.send(payload.data(), payload.size(), 1000)) {
    seen |= kSentLocal;
  }
  if (platform::NamedMutexExists(AliveName(name))) seen |= kSawListener;
  return seen;
});

// Reads the job's value under the name's key, writes its own, and with "clean" removes the key again:
// 0 when it found no value, 1 when it found its own, 2 when it found another job's.
const bool kRegistryRole =
    test_support::RegisterChildRole("private-bus-registry", [](const std::vector<std::string>& args) {
      const std::u16string key_name = TestKey(args.at(0));
      const std::string& value = args.at(1);
      platform::RegistryKey key;
      if (key.Create(platform::RegistryRoot::kCurrentUser, key_name) != platform::RegistryStatus::kOk) return 9;
      std::byte buffer[64];
      std::uint32_t type = 0;
      std::uint32_t size = 0;
      const platform::RegistryStatus read = key.ReadValue(u"job", buffer, type, size);
      int found = 0;
      if (read != platform::RegistryStatus::kNotFound) {
        found = std::string(reinterpret_cast<const char*>(buffer), size) == value ? 1 : 2;
      }
      if (key.SetValue(u"job", platform::kRegBinary, std::as_bytes(std::span(value))) !=
          platform::RegistryStatus::kOk) {
        return 8;
      }
      key.Close();
      if (args.size() > 2 && platform::RegistryKey::DeleteTree(platform::RegistryRoot::kCurrentUser, key_name) !=
                                 platform::RegistryStatus::kOk) {
        return 7;
      }
      return found;
    });

// Opens a channel, a mutex and a registry key, expecting each to fail, and prints every log line that
// names the private bus's variable.
const bool kRefusedRole = test_support::RegisterChildRole("private-bus-refused", [](const std::vector<std::string>&) {
  test_support::LogCapture capture;
  const std::string name = test_support::Unique("private-bus");
  ipc::channel channel(name, true);
  const bool connected = channel.connect(ipc::channel::mode::receiver);
  platform::ErrorCode error = 0;
  const bool mutex = platform::CreateNamedMutex("Local\\" + name, error).IsValid();
  platform::RegistryKey key;
  const bool registry =
      key.Create(platform::RegistryRoot::kCurrentUser, TestKey(name)) == platform::RegistryStatus::kOk;
  for (const auto& line : test_support::LogCapture::Take()) {
    if (line.text.find(platform::kPrivateBusVariable) != std::string::npos) std::printf("%s", line.text.c_str());
  }
  std::fflush(stdout);
  return connected || mutex || registry || error == 0 ? 1 : 0;
});

int RunJob(const std::string& role, const std::vector<std::string>& args, const PrivateBusJob& job) {
  auto child = StartChild(role, args, job.Environment());
  if (!child) return -1;
  return child->Wait(test_support::kChildDeadline).value_or(-2);
}

TEST(PrivateBus, JobsOnDifferentFoldersShareNamesAndNeverMeet) {
  const test_support::TempDir temp;
  const PrivateBusJob x(temp.Path() / "x" / "bus");  // missing, folder above it too: made by the job
  const PrivateBusJob y(temp.Path() / "y");
  const PrivateBusJob unset = PrivateBusJob::DefaultBus(temp.Path() / "registry");
  const std::string name = test_support::Unique("private-bus");
  const fs::path x_got = temp.Path() / "x.got";
  const fs::path default_got = temp.Path() / "default.got";

  auto x_listener = StartChild("private-bus-listen", {name, x_got.string()}, x.Environment());
  auto default_listener = StartChild("private-bus-listen", {name, default_got.string()}, unset.Environment());
  ASSERT_TRUE(x_listener && default_listener);
  ASSERT_TRUE(test_support::PollUntil(
      [&] { return fs::exists(x_got.string() + ".ready") && fs::exists(default_got.string() + ".ready"); }));

  constexpr int kMet = kSentGlobal | kSentLocal | kSawListener;
  EXPECT_EQ(RunJob("private-bus-send", {name, "from-y"}, y), 0) << "job y met a listener of another bus";
  EXPECT_EQ(RunJob("private-bus-send", {name, "from-x"}, x), kMet);
  EXPECT_EQ(RunJob("private-bus-send", {name, "from-default"}, unset), kMet);
  // A listener leaves once both its channels brought "end", perhaps before the sender looks for it.
  constexpr int kSent = kSentGlobal | kSentLocal;
  EXPECT_EQ(RunJob("private-bus-send", {name, "end"}, x) & kSent, kSent);
  EXPECT_EQ(RunJob("private-bus-send", {name, "end"}, unset) & kSent, kSent);

  EXPECT_EQ(x_listener->Wait(test_support::kChildDeadline), 0);
  EXPECT_EQ(default_listener->Wait(test_support::kChildDeadline), 0);
  EXPECT_EQ(test_support::ReadFile(x_got), "g:from-x\nl:from-x\n");
  EXPECT_EQ(test_support::ReadFile(default_got), "g:from-default\nl:from-default\n");
}

// The statistics live in the registry store, so one job's never mix with another's.
TEST(PrivateBus, EachJobHasARegistryOfItsOwn) {
  const test_support::TempDir temp;
  const PrivateBusJob x(temp.Path() / "x");
  const PrivateBusJob y(temp.Path() / "y");
  const std::string name = test_support::Unique("private-bus");
  EXPECT_EQ(RunJob("private-bus-registry", {name, "x"}, x), 0);
  EXPECT_EQ(RunJob("private-bus-registry", {name, "y"}, y), 0) << "job y read job x's value";
  EXPECT_EQ(RunJob("private-bus-registry", {name, "x", "clean"}, x), 1) << "job x lost its value";
  EXPECT_EQ(RunJob("private-bus-registry", {name, "y", "clean"}, y), 1);
}

TEST(PrivateBus, AFileOrARelativePathFailsEveryObjectAndSaysWhy) {
  const test_support::TempDir temp;
  const fs::path file = temp.Path() / "a-file";
  test_support::WriteFile(file, "not a folder");
  EXPECT_EQ(test_support::RefusedBusReport(PrivateBusJob(file), temp.Path() / "file.log"),
            "SPINDREL_BUS_ROOT=" + file.string() + " refused");
  EXPECT_NE(test_support::ReadFile(temp.Path() / "file.log").find("not a folder"), std::string::npos);

  EXPECT_EQ(test_support::RefusedBusReport(PrivateBusJob("relative/bus"), temp.Path() / "relative.log"),
            "SPINDREL_BUS_ROOT=relative/bus refused");
  EXPECT_NE(test_support::ReadFile(temp.Path() / "relative.log").find("not an absolute path"), std::string::npos);
}

// Other programs compute the same names: a private bus's tag is fixed by its folder's bytes.
TEST(PrivateBus, NamesKeepTheirNamespaceAndGainTheBusTag) {
  const std::string hash = platform::PrivateBusHash("/ci/job-1");
  EXPECT_EQ(hash, "D1DA4B0535D670A0");
  EXPECT_EQ(platform::PrivateObjectName("Global\\__IPC_SHM__A", hash),
            "Global\\spindrel-bus-" + hash + "-__IPC_SHM__A");
  EXPECT_EQ(platform::PrivateObjectName("Local\\_cond_sem_a", hash), "Local\\spindrel-bus-" + hash + "-_cond_sem_a");
  EXPECT_EQ(platform::PrivateObjectName("velmora_ipc_inited_A", hash),
            "spindrel-bus-" + hash + "-velmora_ipc_inited_A");
}

}  // namespace
