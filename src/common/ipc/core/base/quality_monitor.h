// Per-conversation statistics of the bus. For every (sender, target, message number) the monitor counts
// send attempts and transport successes, and received packets with their mean delivery time. A report
// merges one table into the running totals that earlier runs left in the registry.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "common/util/product_paths.h"
#include "spindrel/bus/packet.h"
#include "spindrel/bus/statistics.h"

namespace ipc {

struct PacketKeyHash {
  std::size_t operator()(const PacketKey& key) const;
};

using SendTable = std::unordered_map<PacketKey, SendStat, PacketKeyHash>;
using RecvTable = std::unordered_map<PacketKey, RecvStat, PacketKeyHash>;

// Registry values under HKEY_CURRENT_USER\<product key> that hold the running totals, as compact JSON:
// [[{"from":..,"msg_id":..,"to":..},{"success":..,"total":..}],...] and the same with avg_cost.
inline constexpr char16_t kSendReportValue[] = u"ipc_send_analysis_10";
inline constexpr char16_t kRecvReportValue[] = u"ipc_recv_analysis_10";

// The stored totals under HKEY_CURRENT_USER\sub_key, as ReadStoredSendStats and ReadStoredRecvStats
// read them under the product key.
std::optional<StoredStats<SendStat>> ReadStoredSendStats(std::u16string_view sub_key);
std::optional<StoredStats<RecvStat>> ReadStoredRecvStats(std::u16string_view sub_key);

// The named mutex that serialises reports between the user's processes (no namespace prefix).
inline constexpr char kReportLockName[] = "velmora_ipc_report_lock";

// All members are thread-safe; one lock guards both tables.
class IpcQualityMonitor {
 public:
  // Counts one send attempt of the packet; accepted says whether the transport took it.
  void RecordSend(const IpcPacket& packet, bool accepted);
  // Counts one received packet; its delivery time (now_us minus its send_time_us) joins the key's mean.
  // A packet without a send time, or with one in the future, counts 0.
  void RecordRecv(const IpcPacket& packet, std::uint64_t now_us);
  void RecordRecv(const IpcPacket& packet) { RecordRecv(packet, NowUs()); }

  // Merge the history stored under HKEY_CURRENT_USER\sub_key into the table and write the merged table
  // back over it. Unreadable or malformed history counts as none; a failed write leaves the stored
  // history as it was. The table keeps the merged counts afterwards.
  void SendReport(const std::u16string& sub_key = ProductPaths::Instance().KeyFor(0));
  void RecvReport(const std::u16string& sub_key = ProductPaths::Instance().KeyFor(0));

  // Copies of the tables.
  [[nodiscard]] SendTable SendStats() const;
  [[nodiscard]] RecvTable RecvStats() const;

 private:
  // Turns the stored history text into the new text to store, merging it into a table.
  using Merge = std::function<std::string(std::u16string_view history)>;

  // Reads value_name, merges and writes the result: the whole read-merge-write of one report, so a
  // lock between processes needs to wrap only this.
  static void MergeIntoRegistry(std::u16string_view sub_key, std::u16string_view value_name, const Merge& merge);

  std::string MergeSendHistory(std::u16string_view history);
  std::string MergeRecvHistory(std::u16string_view history);

  mutable std::mutex mutex_;
  SendTable send_;
  RecvTable recv_;
};

}  // namespace ipc
