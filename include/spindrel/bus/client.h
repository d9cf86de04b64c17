// Client identities of the bus: every program on it has a fixed numeric id and a fixed name. The name
// names the client's receive channel and its liveness mutex.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "spindrel/export.h"

namespace ipc {

// The exit monitor's client id (TwVindleCrashNotifyHelper).
inline constexpr std::int32_t kExitMonitorClientId = 110013;

// The name no client has: ids outside the table (and the table's own rows 0 and 110007) map to it.
inline constexpr char kUnknownClientName[] = "UNKNOWN";

// The client's fixed name, or "UNKNOWN" when there is no such client. Thread-safe.
SPINDREL_API std::string GetClientName(std::int32_t id);

// The id of the client with this name, if there is one.
SPINDREL_API std::optional<std::int32_t> FindClientId(std::string_view name);

// Every client of the table that has a name, in id order.
SPINDREL_API std::vector<std::pair<std::int32_t, std::string>> KnownClients();

// The name of client id's liveness mutex: "velmora_ipc_inited_<name>", with "Global\" in front in the
// global scope.
SPINDREL_API std::string InitedMutexName(std::int32_t id, bool global);

// True while some process has client id's liveness mutex open in that scope: the client is on the bus.
// Says nothing about the client beyond that, and never waits.
SPINDREL_API bool IsClientAlive(std::int32_t id, bool global);

// The process that holds the client's liveness mutex, where the system can tell (Linux; Windows names
// no mutex's owner): nothing when it cannot, or when the client is not on the bus in that scope.
SPINDREL_API std::optional<std::uint32_t> ClientProcessId(std::int32_t id, bool global);

// Whether this process runs elevated; elevated clients live in the global scope. Asks the system on
// every call.
SPINDREL_API bool IsProcessElevated();

}  // namespace ipc
