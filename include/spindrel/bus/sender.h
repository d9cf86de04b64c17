// Sending one packet to the receive channel of its target client.
#pragma once

#include <cstdint>
#include <optional>

#include <nlohmann/json.hpp>

#include "spindrel/bus/packet.h"

namespace ipc {

// A new outgoing packet from this process's client (0 before the bus was first joined).
IpcPacketPtr CreatePacket(std::int32_t to, std::int32_t msg_id, const nlohmann::json& data);

// Delivers the packet to its target's channel: true when the transport accepted it. global chooses the
// target's scope; without it the scope of a guarded target (110002, 110003, 110006, 110015, 110018,
// 200001) is probed and other targets are taken as global.
// False, without trying, for a target with no name, while the bus is stopped, or for a guarded target
// that is not running. Counted in the statistics when the target is alive afterwards. May be called
// from any thread. A body string that is not UTF-8 throws the JSON library's type error 316.
bool SendPacket(const IpcPacketPtr& packet, std::optional<bool> global = std::nullopt);

}  // namespace ipc
