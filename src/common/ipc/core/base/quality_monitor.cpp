#include "common/ipc/core/base/quality_monitor.h"

#include <limits>
#include <utility>
#include <vector>

#include "common/util/registry.h"
#include "platform/named_sync.h"
#include "platform/unicode.h"

namespace ipc {
namespace {

using nlohmann::json;
using Wide = unsigned __int128;  // products of a count and a mean do not fit 64 bits in general

// Not JSON, so a missing value reads as no history.
constexpr char16_t kNoHistory[] = u"DEFAULT_VALUE";

std::uint64_t SaturatingAdd(std::uint64_t a, std::uint64_t b) {
  const std::uint64_t sum = a + b;
  return sum < a ? std::numeric_limits<std::uint64_t>::max() : sum;
}

std::uint64_t Saturate(Wide value) {
  return value > std::numeric_limits<std::uint64_t>::max() ? std::numeric_limits<std::uint64_t>::max()
                                                           : static_cast<std::uint64_t>(value);
}

json KeyObject(const PacketKey& key) {
  json object = json::object();
  object["from"] = key.from;
  object["msg_id"] = key.msg_id;
  object["to"] = key.to;
  return object;
}

PacketKey ReadKey(const json& object) {
  return {object.at("from").get<std::int32_t>(), object.at("to").get<std::int32_t>(),
          object.at("msg_id").get<std::int32_t>()};
}

json StatObject(const SendStat& stat) {
  json object = json::object();
  object["success"] = stat.success;
  object["total"] = stat.total;
  return object;
}

json StatObject(const RecvStat& stat) {
  json object = json::object();
  object["avg_cost"] = static_cast<std::int64_t>(stat.avg_cost);  // stored signed, as readers expect
  object["total"] = stat.total;
  return object;
}

SendStat ReadSendStat(const json& object) {
  SendStat stat;
  stat.total = object.at("total").get<std::uint64_t>();
  stat.success = object.at("success").get<std::uint64_t>();
  return stat;
}

RecvStat ReadRecvStat(const json& object) {
  RecvStat stat;
  stat.total = object.at("total").get<std::uint64_t>();
  stat.avg_cost = static_cast<std::uint64_t>(object.at("avg_cost").get<std::int64_t>());
  return stat;
}

// The stored history as [key, counters] pairs; a key listed twice keeps its first entry. Any fault in
// the text makes the whole history unreadable: a partly read history would be merged twice by the next
// run.
template <typename Stat>
std::optional<StoredStats<Stat>> ParseHistory(std::u16string_view text, Stat (*read_stat)(const json&)) {
  StoredStats<Stat> history;
  try {
    const json document = json::parse(text.begin(), text.end());
    if (!document.is_array()) return std::nullopt;
    std::unordered_map<PacketKey, Stat, PacketKeyHash> seen;
    for (const json& element : document) {
      Stat stat = read_stat(element.at(1));
      const PacketKey key = ReadKey(element.at(0));
      if (seen.emplace(key, stat).second) history.emplace_back(key, stat);
    }
  } catch (const json::exception&) {
    return std::nullopt;
  }
  return history;
}

template <typename Stat>
std::optional<StoredStats<Stat>> ReadStored(std::u16string_view sub_key, std::u16string_view value_name,
                                            Stat (*read_stat)(const json&)) {
  const std::u16string text = ReadRegString(platform::RegistryRoot::kCurrentUser, sub_key, value_name, kNoHistory);
  if (text == kNoHistory) return StoredStats<Stat>{};
  return ParseHistory(text, read_stat);
}

// Processes that end at the same moment would each read the same history, and the later write would drop
// the other's counts, so the read-merge-write of a report is serialised between the user's processes.
// A holder that dies hands the lock on (abandonment); one that hangs is waited for only so long, after
// which the report goes ahead unlocked rather than lose this run's counts.
class ReportLock {
 public:
  static constexpr std::uint32_t kWaitMs = 2000;

  ReportLock() : mutex_(platform::CreateNamedMutex(kReportLockName, error_)) {
    if (!mutex_) return;
    const platform::WaitResult result = platform::LockNamedMutex(mutex_, kWaitMs, error_);
    held_ = result == platform::WaitResult::kSignaled || result == platform::WaitResult::kAbandoned;
  }
  ~ReportLock() {
    if (held_) platform::UnlockNamedMutex(mutex_, error_);
  }
  ReportLock(const ReportLock&) = delete;
  ReportLock& operator=(const ReportLock&) = delete;

 private:
  platform::ErrorCode error_ = 0;
  platform::NamedObject mutex_;
  bool held_ = false;
};

template <typename Table>
std::string Serialize(const Table& table) {
  json document = json::array();
  for (const auto& [key, stat] : table) document.push_back(json::array({KeyObject(key), StatObject(stat)}));
  return document.dump(-1, ' ', false, json::error_handler_t::strict);
}

}  // namespace

std::optional<StoredStats<SendStat>> ReadStoredSendStats(std::u16string_view sub_key) {
  return ReadStored(sub_key, kSendReportValue, ReadSendStat);
}

std::optional<StoredStats<RecvStat>> ReadStoredRecvStats(std::u16string_view sub_key) {
  return ReadStored(sub_key, kRecvReportValue, ReadRecvStat);
}

std::optional<StoredStats<SendStat>> ReadStoredSendStats() {
  return ReadStoredSendStats(ProductPaths::Instance().KeyFor(0));
}

std::optional<StoredStats<RecvStat>> ReadStoredRecvStats() {
  return ReadStoredRecvStats(ProductPaths::Instance().KeyFor(0));
}

std::size_t PacketKeyHash::operator()(const PacketKey& key) const {
  std::uint64_t hash = static_cast<std::uint32_t>(key.from);
  hash = hash * 0x9E3779B97F4A7C15ull ^ static_cast<std::uint32_t>(key.to);
  hash = hash * 0x9E3779B97F4A7C15ull ^ static_cast<std::uint32_t>(key.msg_id);
  return static_cast<std::size_t>(hash ^ (hash >> 29));
}

void IpcQualityMonitor::RecordSend(const IpcPacket& packet, bool accepted) {
  const std::lock_guard lock(mutex_);
  SendStat& stat = send_[{packet.from, packet.to, packet.msg_id}];
  stat.total = SaturatingAdd(stat.total, 1);
  if (accepted) stat.success = SaturatingAdd(stat.success, 1);
}

void IpcQualityMonitor::RecordRecv(const IpcPacket& packet, std::uint64_t now_us) {
  // A send time ahead of our clock (another machine's clock, or a forged packet) would make a huge
  // unsigned delay that dominates the mean for good; it counts as no delay.
  const std::uint64_t cost = packet.send_time_us && *packet.send_time_us <= now_us ? now_us - *packet.send_time_us : 0;
  const std::lock_guard lock(mutex_);
  RecvStat& stat = recv_[{packet.from, packet.to, packet.msg_id}];
  const Wide n = stat.total;
  stat.avg_cost = static_cast<std::uint64_t>((n * stat.avg_cost + cost) / (n + 1));
  stat.total = SaturatingAdd(stat.total, 1);
}

void IpcQualityMonitor::SendReport(const std::u16string& sub_key) {
  MergeIntoRegistry(sub_key, kSendReportValue,
                    [this](std::u16string_view history) { return MergeSendHistory(history); });
}

void IpcQualityMonitor::RecvReport(const std::u16string& sub_key) {
  MergeIntoRegistry(sub_key, kRecvReportValue,
                    [this](std::u16string_view history) { return MergeRecvHistory(history); });
}

SendTable IpcQualityMonitor::SendStats() const {
  const std::lock_guard lock(mutex_);
  return send_;
}

RecvTable IpcQualityMonitor::RecvStats() const {
  const std::lock_guard lock(mutex_);
  return recv_;
}

void IpcQualityMonitor::MergeIntoRegistry(std::u16string_view sub_key, std::u16string_view value_name,
                                          const Merge& merge) {
  const ReportLock lock;
  const std::u16string history = ReadRegString(platform::RegistryRoot::kCurrentUser, sub_key, value_name, kNoHistory);
  // Written over the old value rather than after deleting it: a failed write then keeps the history.
  WriteRegString(platform::RegistryRoot::kCurrentUser, sub_key, value_name, platform::Utf8ToUtf16(merge(history)));
}

std::string IpcQualityMonitor::MergeSendHistory(std::u16string_view history) {
  const auto entries = ParseHistory<SendStat>(history, ReadSendStat).value_or(StoredStats<SendStat>{});
  const std::lock_guard lock(mutex_);
  for (const auto& [key, stored] : entries) {
    SendStat& stat = send_[key];
    stat.total = SaturatingAdd(stat.total, stored.total);
    stat.success = SaturatingAdd(stat.success, stored.success);
  }
  return Serialize(send_);
}

std::string IpcQualityMonitor::MergeRecvHistory(std::u16string_view history) {
  const auto entries = ParseHistory<RecvStat>(history, ReadRecvStat).value_or(StoredStats<RecvStat>{});
  const std::lock_guard lock(mutex_);
  for (const auto& [key, stored] : entries) {
    RecvStat& stat = recv_[key];
    // The mean over both: (n * mean + p * stored mean) / (n + p), which always fits 64 bits again.
    const Wide total = Wide(stat.total) + stored.total;
    if (total != 0) {
      stat.avg_cost =
          static_cast<std::uint64_t>((Wide(stat.total) * stat.avg_cost + Wide(stored.total) * stored.avg_cost) / total);
    }
    stat.total = Saturate(total);
  }
  return Serialize(recv_);
}

}  // namespace ipc
