// Sending one packet to the receive channel of its target client.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>

#include <nlohmann/json.hpp>

#include "spindrel/bus/packet.h"
#include "spindrel/export.h"

namespace ipc {

// A new outgoing packet from this process's client (0 before the bus was first joined).
SPINDREL_API IpcPacketPtr CreatePacket(std::int32_t to, std::int32_t msg_id, const nlohmann::json& data);

// Delivers the packet to its target's channel: true when the transport accepted it. global chooses the
// target's scope; without it the scope of a guarded target (110002, 110003, 110006, 110015, 110018,
// 200001) is probed and other targets are taken as global.
// False, without trying, for a target with no name, while the bus is stopped, or for a guarded target
// that is not running; false with a level-2 log line for a packet whose text is longer than
// kMaxPacketBytes (its receiver would drop it). Counted in the statistics when the target is alive
// afterwards. May be called from any thread. A body string that is not UTF-8 throws the JSON library's
// type error 316.
//
// The channel a send opened is kept for the next send to the same target and scope (at most 16 targets,
// the least recently used closed first; a target not sent to for 30 s is closed at the next send and,
// in a client that joined the bus, by its receive thread within about a second), so a program that
// sends often opens each target's objects once. A kept channel that fails a send is closed
// and the send tried once more on a channel opened afresh. Kept channels are closed by
// CloseKeptChannels, by IpcCore::Uninit and at exit.
SPINDREL_API bool SendPacket(const IpcPacketPtr& packet, std::optional<bool> global = std::nullopt);

// Closes the channels SendPacket keeps; the next send opens its target again. Thread-safe.
SPINDREL_API void CloseKeptChannels();
// Closes the channels SendPacket keeps that no send has used for idle_for (or for 30 s); the others
// stay. Thread-safe.
SPINDREL_API void CloseIdleKeptChannels(std::chrono::milliseconds idle_for);
SPINDREL_API void CloseIdleKeptChannels();
// The number of channels SendPacket keeps now.
SPINDREL_API std::size_t KeptChannelCount();

}  // namespace ipc
