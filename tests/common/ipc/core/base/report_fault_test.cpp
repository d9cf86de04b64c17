// Statistics reports whose writer dies: the history in the registry must survive whole, and the next
// process must not be held up by a lock the dead one left behind.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "common/ipc/core/base/bare_packet.h"
#include "common/ipc/core/base/quality_monitor.h"
#include "common/util/registry.h"
#include "common/util/registry_sandbox.h"
#include "platform/named_sync.h"
#include "platform/registry.h"
#include "support/shared_word.h"
#include "support/test_support.h"
#include "transport/shm.h"

namespace {

using namespace std::chrono_literals;
using bus_test::BarePacket;
using ipc::PacketKey;
using ipc::SendStat;

constexpr platform::RegistryRoot kUser = platform::RegistryRoot::kCurrentUser;

using test_support::Unique;
using test_support::Word;

bool AwaitWord(const ipc::shm::handle& flag, std::uint32_t at_least) {
  const auto deadline = std::chrono::steady_clock::now() + test_support::kChildDeadline;
  while (Word(flag).load() < at_least) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

// The write of the merged history fails (a full disk, a refused write): what was stored stays as it was,
// and the next run merges into it as if the failed one had never reported.
TEST(ReportFault, AFailedReportWriteLeavesTheOldHistory) {
  const test_support::RegistrySandbox sandbox;
  const std::u16string history = uR"([[{"from":1,"msg_id":3,"to":2},{"success":4,"total":5}]])";
  ASSERT_TRUE(WriteRegString(kUser, sandbox.SubKey(), ipc::kSendReportValue, history));

  ipc::IpcQualityMonitor failing;
  failing.RecordSend(BarePacket(1, 2, 3), true);
  failing.RecordSend(BarePacket(4, 5, 6), false);
  platform::FailRegistryWrites(1);
  failing.SendReport(sandbox.SubKey());
  platform::FailRegistryWrites(0);
  EXPECT_EQ(ReadRegString(kUser, sandbox.SubKey(), ipc::kSendReportValue, u""), history);

  ipc::IpcQualityMonitor next;
  next.RecordSend(BarePacket(1, 2, 3), false);
  next.SendReport(sandbox.SubKey());
  EXPECT_EQ(platform::Utf16ToUtf8(ReadRegString(kUser, sandbox.SubKey(), ipc::kSendReportValue, u"")),
            R"([[{"from":1,"msg_id":3,"to":2},{"success":4,"total":6}]])");
}

// Reports one accepted send per round under sub-key arguments[0], round after round, counting the
// finished rounds in the flag arguments[1]: killed somewhere in the middle of one.
const bool kEndlessReporterRole =
    test_support::RegisterChildRole("report-endlessly", [](const std::vector<std::string>& arguments) {
      const std::u16string sub_key = platform::Utf8ToUtf16(arguments.at(0));
      const ipc::shm::handle flag(arguments.at(1), 4);
      if (!flag.valid()) return 1;
      for (;;) {
        ipc::IpcQualityMonitor run;
        run.RecordSend(BarePacket(7, 8, 9), true);
        run.SendReport(sub_key);
        Word(flag).fetch_add(1);
      }
    });

TEST(ReportFault, AReporterKilledMidWriteLeavesAWholeHistory) {
  const test_support::RegistrySandbox sandbox;
  // A long history, so that a good share of each round is spent writing it.
  constexpr int kKeys = 400;
  {
    ipc::IpcQualityMonitor earlier;
    for (int key = 0; key < kKeys; ++key) earlier.RecordSend(BarePacket(1, 2, key), key % 2 == 0);
    earlier.SendReport(sandbox.SubKey());
  }
  const ipc::shm::handle flag(Unique("report-rounds"), 4);
  auto reporter = test_support::StartChild("report-endlessly", {platform::Utf16ToUtf8(sandbox.SubKey()), flag.name()},
                                           sandbox.Environment());
  ASSERT_TRUE(reporter);
  ASSERT_TRUE(AwaitWord(flag, 5));
  reporter->Kill();
  const std::uint32_t finished = Word(flag).load();

  // The next run reads what is there: every earlier key, and one count per round that got written.
  ipc::IpcQualityMonitor next;
  next.SendReport(sandbox.SubKey());
  const auto stats = next.SendStats();
  ASSERT_EQ(stats.size(), static_cast<std::size_t>(kKeys + 1));
  for (int key = 0; key < kKeys; ++key) {
    EXPECT_EQ(stats.at(PacketKey{1, 2, key}), (SendStat{1, key % 2 == 0 ? 1u : 0u})) << key;
  }
  const SendStat rounds = stats.at(PacketKey{7, 8, 9});
  EXPECT_EQ(rounds.total, rounds.success);
  // The round cut short may or may not have landed.
  EXPECT_GE(rounds.total, finished);
  EXPECT_LE(rounds.total, finished + 1);
}

// Takes the report lock, raises the flag arguments[0] and waits to be killed.
const bool kLockHolderRole =
    test_support::RegisterChildRole("hold-report-lock", [](const std::vector<std::string>& arguments) {
      const ipc::shm::handle flag(arguments.at(0), 4);
      platform::ErrorCode error = 0;
      const platform::NamedObject lock = platform::CreateNamedMutex(ipc::kReportLockName, error);
      if (!flag.valid() || !lock) return 1;
      const platform::WaitResult taken = platform::LockNamedMutex(lock, platform::kInfinite, error);
      if (taken != platform::WaitResult::kSignaled && taken != platform::WaitResult::kAbandoned) return 2;
      Word(flag).store(1);
      return test_support::SleepUntilKilled();
    });

TEST(ReportFault, AReportLockLeftByAKilledProcessIsTakenOverAtOnce) {
  const test_support::RegistrySandbox sandbox;
  ASSERT_TRUE(WriteRegString(kUser, sandbox.SubKey(), ipc::kSendReportValue,
                             uR"([[{"from":1,"msg_id":3,"to":2},{"success":4,"total":5}]])"));
  const ipc::shm::handle flag(Unique("report-lock"), 4);
  auto holder = test_support::StartChild("hold-report-lock", {flag.name()});
  ASSERT_TRUE(holder);
  ASSERT_TRUE(AwaitWord(flag, 1));
  holder->Kill();

  ipc::IpcQualityMonitor run;
  run.RecordSend(BarePacket(1, 2, 3), true);
  const auto start = std::chrono::steady_clock::now();
  run.SendReport(sandbox.SubKey());
  // A lock nobody took over would be waited for its full two seconds before the report went ahead.
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1500ms);
  EXPECT_EQ(run.SendStats().at(PacketKey{1, 2, 3}), (SendStat{6, 5}));
  EXPECT_EQ(platform::Utf16ToUtf8(ReadRegString(kUser, sandbox.SubKey(), ipc::kSendReportValue, u"")),
            R"([[{"from":1,"msg_id":3,"to":2},{"success":5,"total":6}]])");
}

}  // namespace
