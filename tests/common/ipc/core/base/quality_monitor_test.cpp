#include "common/ipc/core/base/quality_monitor.h"

#include <gtest/gtest.h>

#include "common/ipc/core/base/bare_packet.h"
#include "common/util/registry.h"
#include "common/util/registry_sandbox.h"

namespace {

using bus_test::BarePacket;
using ipc::PacketKey;
using ipc::RecvStat;
using ipc::SendStat;

constexpr platform::RegistryRoot kUser = platform::RegistryRoot::kCurrentUser;
constexpr std::uint64_t kHalf = std::uint64_t{1} << 63;

ipc::IpcPacket SentAt(std::uint64_t send_time_us) {
  ipc::IpcPacket packet = BarePacket(1, 2, 3);
  packet.send_time_us = send_time_us;
  return packet;
}

class QualityMonitorTest : public testing::Test {
 protected:
  std::string Stored(std::u16string_view value) const {
    return platform::Utf16ToUtf8(ReadRegString(kUser, sandbox.SubKey(), value, u"<none>"));
  }
  void Store(std::u16string_view value, const std::string& text) const {
    ASSERT_TRUE(WriteRegString(kUser, sandbox.SubKey(), value, platform::Utf8ToUtf16(text)));
  }

  test_support::RegistrySandbox sandbox;
  ipc::IpcQualityMonitor monitor;
};

TEST_F(QualityMonitorTest, FirstReportsWriteTheTablesAlone) {
  monitor.RecordSend(BarePacket(110013, 110016, 83000), true);
  monitor.SendReport(sandbox.SubKey());
  monitor.RecvReport(sandbox.SubKey());
  EXPECT_EQ(Stored(ipc::kSendReportValue), R"([[{"from":110013,"msg_id":83000,"to":110016},{"success":1,"total":1}]])");
  EXPECT_EQ(Stored(ipc::kRecvReportValue), "[]");
}

TEST_F(QualityMonitorTest, SendHistoryAddsToTheRunsCounts) {
  Store(ipc::kSendReportValue,
        R"([[{"from":1,"msg_id":3,"to":2},{"success":4,"total":5}],)"
        R"([{"from":1,"msg_id":3,"to":2},{"success":100,"total":100}],)"  // a repeated key: the first entry counts
        R"([{"from":9,"msg_id":9,"to":9},{"success":0,"total":1},"ignored"]])");
  monitor.RecordSend(BarePacket(1, 2, 3), true);
  monitor.RecordSend(BarePacket(1, 2, 3), false);
  monitor.SendReport(sandbox.SubKey());

  const auto stats = monitor.SendStats();
  ASSERT_EQ(stats.size(), 2u);
  EXPECT_EQ(stats.at(PacketKey{1, 2, 3}), (SendStat{7, 5}));
  EXPECT_EQ(stats.at(PacketKey{9, 9, 9}), (SendStat{1, 0}));
  const std::string stored = Stored(ipc::kSendReportValue);
  EXPECT_NE(stored.find(R"([{"from":1,"msg_id":3,"to":2},{"success":5,"total":7}])"), std::string::npos) << stored;
}

TEST_F(QualityMonitorTest, ReceiveHistoryWeighsTheAverages) {
  monitor.RecordRecv(SentAt(1000), 1050);
  monitor.RecordRecv(SentAt(1000), 1150);
  EXPECT_EQ(monitor.RecvStats().at(PacketKey{1, 2, 3}), (RecvStat{2, 100}));

  Store(ipc::kRecvReportValue, R"([[{"from":1,"msg_id":3,"to":2},{"avg_cost":300,"total":2}]])");
  monitor.RecvReport(sandbox.SubKey());
  EXPECT_EQ(monitor.RecvStats().at(PacketKey{1, 2, 3}), (RecvStat{4, 200}));
  EXPECT_EQ(Stored(ipc::kRecvReportValue), R"([[{"from":1,"msg_id":3,"to":2},{"avg_cost":200,"total":4}]])");
}

TEST_F(QualityMonitorTest, MalformedHistoryIsIgnoredAsAWhole) {
  const std::vector<std::string> broken{
      "DEFAULT_VALUE",
      "{}",
      R"([[{"from":5,"msg_id":5,"to":5},{"success":1,"total":1}],"not an array"])",
      R"([[{"from":5,"msg_id":5,"to":5},{"success":1,"total":1}],[{"from":6,"msg_id":6,"to":6}]])",
      R"([[{"from":5,"msg_id":5,"to":5},{"success":1,"total":1}],[{"from":6,"to":6},{"success":1,"total":1}]])",
      R"([[{"from":5,"msg_id":5,"to":5},{"total":1}]])",
      R"([[{"from":"5","msg_id":5,"to":5},{"success":1,"total":1}]])",
  };
  for (const auto& text : broken) {
    Store(ipc::kSendReportValue, text);
    ipc::IpcQualityMonitor fresh;
    fresh.RecordSend(BarePacket(1, 2, 3), true);
    fresh.SendReport(sandbox.SubKey());
    EXPECT_EQ(Stored(ipc::kSendReportValue), R"([[{"from":1,"msg_id":3,"to":2},{"success":1,"total":1}]])") << text;
  }
}

TEST_F(QualityMonitorTest, StoredTotalsReadBackAsTheReportsWroteThem) {
  EXPECT_EQ(ipc::ReadStoredSendStats(sandbox.SubKey()), ipc::StoredStats<SendStat>{});  // nothing stored yet
  monitor.RecordSend(BarePacket(1, 2, 3), true);
  monitor.RecordSend(BarePacket(1, 2, 3), false);
  monitor.RecordRecv(SentAt(0), kHalf);
  monitor.SendReport(sandbox.SubKey());
  monitor.RecvReport(sandbox.SubKey());
  EXPECT_EQ(ipc::ReadStoredSendStats(sandbox.SubKey()), (ipc::StoredStats<SendStat>{{{1, 2, 3}, {2, 1}}}));
  // A mean of 2^63 is stored as a negative number and read back as the same unsigned value.
  EXPECT_EQ(ipc::ReadStoredRecvStats(sandbox.SubKey()), (ipc::StoredStats<RecvStat>{{{1, 2, 3}, {1, kHalf}}}));

  Store(ipc::kSendReportValue, R"([[{"from":5,"msg_id":5,"to":5},{"total":1}]])");
  EXPECT_EQ(ipc::ReadStoredSendStats(sandbox.SubKey()), std::nullopt);  // unreadable, not empty
}

TEST_F(QualityMonitorTest, DeliveryTimeCountsZeroWithoutASendTimeOrFromTheFuture) {
  monitor.RecordRecv(SentAt(500), 1500);          // 1000
  monitor.RecordRecv(BarePacket(1, 2, 3), 1500);  // no send time: 0
  monitor.RecordRecv(SentAt(9000), 1500);         // sent "later" than received: 0, not a wrapped huge delay
  EXPECT_EQ(monitor.RecvStats().at(PacketKey{1, 2, 3}), (RecvStat{3, 333}));
}

TEST_F(QualityMonitorTest, AveragesDoNotWrapIn64Bits) {
  monitor.RecordRecv(SentAt(0), kHalf);
  monitor.RecordRecv(SentAt(0), kHalf);  // 1 * 2^63 + 2^63 wraps to 0 in 64 bits
  EXPECT_EQ(monitor.RecvStats().at(PacketKey{1, 2, 3}), (RecvStat{2, kHalf}));

  // Means of 2^63 and more are stored as negative numbers and read back as the same unsigned value.
  monitor.RecvReport(sandbox.SubKey());
  EXPECT_EQ(Stored(ipc::kRecvReportValue),
            R"([[{"from":1,"msg_id":3,"to":2},{"avg_cost":-9223372036854775808,"total":2}]])");
  ipc::IpcQualityMonitor next_run;
  next_run.RecordRecv(SentAt(0), kHalf);
  next_run.RecordRecv(SentAt(0), kHalf);
  next_run.RecvReport(sandbox.SubKey());
  EXPECT_EQ(next_run.RecvStats().at(PacketKey{1, 2, 3}), (RecvStat{4, kHalf}));
}

}  // namespace

namespace {

// Reports one accepted send per round, as that many short runs of a program would.
const bool kReporterRole = test_support::RegisterChildRole("report-sends", [](const std::vector<std::string>& args) {
  const std::u16string sub_key = platform::Utf8ToUtf16(args.at(0));
  const int rounds = std::stoi(args.at(1));
  for (int round = 0; round < rounds; ++round) {
    ipc::IpcQualityMonitor run;
    run.RecordSend(BarePacket(7, 8, 9), true);
    run.SendReport(sub_key);
  }
  return 0;
});

TEST_F(QualityMonitorTest, ProcessesReportingAtOnceLoseNoCounts) {
  constexpr int kProcesses = 3;
  constexpr int kRounds = 20;
  std::vector<platform::ChildProcess> reporters;
  for (int i = 0; i < kProcesses; ++i) {
    auto child = test_support::StartChild(
        "report-sends", {platform::Utf16ToUtf8(sandbox.SubKey()), std::to_string(kRounds)}, sandbox.Environment());
    ASSERT_TRUE(child);
    reporters.push_back(std::move(*child));
  }
  for (auto& reporter : reporters) ASSERT_EQ(reporter.Wait(test_support::kChildDeadline), 0);
  const std::string total = std::to_string(kProcesses * kRounds);
  EXPECT_EQ(Stored(ipc::kSendReportValue),
            R"([[{"from":7,"msg_id":9,"to":8},{"success":)" + total + R"(,"total":)" + total + "}]]");
}

}  // namespace
