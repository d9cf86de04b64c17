// Asking another client a query and waiting for its answer, in one call.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

#include <nlohmann/json.hpp>

#include "spindrel/export.h"

namespace ipc {

// Who asks, and where. Every field has a default that suits a joined program.
struct AskOptions {
  // The asking client named in the packet; by default this process's (0 before the bus was first joined).
  std::optional<std::int32_t> from;
  // The packet's message number; the answerer tells queries apart by their query id alone.
  std::int32_t msg_id = 0;
  // The scope of the target and of the reply channel. By default the target is taken where its liveness
  // mutex is (global when it is in neither scope), and the answer comes back in this process's scope:
  // the joined scope, or the one its elevation gives before it joined.
  std::optional<bool> global;
};

// Sends client `to` the query {"query_id": query_id, "data": data} and waits up to timeout for the
// answer, which comes back on a reply channel of this call's own. Works whether or not this process has
// joined the bus. Returns the answer, or nothing when: the target has no name; the body is not valid
// UTF-8 or the packet is longer than kMaxPacketBytes; the reply channel cannot be opened; the target's
// channel takes no message (nobody receives there); or no answer that is JSON text arrives in time.
// Each is reported through log_sink at level 2. Thread-safe. Blocks the calling thread: a handler that
// asks holds one of the bus's threads for up to the timeout.
SPINDREL_API std::optional<nlohmann::json> Ask(std::int32_t to, std::int32_t query_id, const nlohmann::json& data,
                                  std::chrono::milliseconds timeout, const AskOptions& options = {});

}  // namespace ipc
