// The bus's statistics: for every conversation (sending client, target client, message number) the
// send attempts with the transport's successes, and the packets received with their mean delivery
// time. A program that leaves the bus with a report (IpcCore::Uninit) adds its run's counts to running
// totals stored for the user; these calls read those totals.
#pragma once

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "spindrel/export.h"

namespace ipc {

struct PacketKey {
  std::int32_t from = 0;
  std::int32_t to = 0;
  std::int32_t msg_id = 0;
  bool operator==(const PacketKey&) const = default;
};

struct SendStat {
  std::uint64_t total = 0;    // send attempts that reached the count
  std::uint64_t success = 0;  // those the transport accepted
  bool operator==(const SendStat&) const = default;
};

struct RecvStat {
  std::uint64_t total = 0;     // packets received
  std::uint64_t avg_cost = 0;  // their mean delivery time, microseconds
  bool operator==(const RecvStat&) const = default;
};

template <typename Stat>
using StoredStats = std::vector<std::pair<PacketKey, Stat>>;

// The stored totals, in stored order; empty when nothing is stored yet. Empty optional when the stored
// text cannot be read: the next report then replaces it. Thread-safe; never throws.
SPINDREL_API std::optional<StoredStats<SendStat>> ReadStoredSendStats();
SPINDREL_API std::optional<StoredStats<RecvStat>> ReadStoredRecvStats();

}  // namespace ipc
