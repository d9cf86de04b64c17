// The receive filters that Handle applies before it dispatches a packet.
#pragma once

#include "spindrel/bus/packet.h"

namespace ipc {

// True when the packet is not for this process: another target client, another target process, or
// this process's own packet (unless it asks to be handled by its sender too). Logs the reason.
bool Filtered(const IpcPacketPtr& packet);

}  // namespace ipc
