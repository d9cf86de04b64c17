// A packet with only its three routing numbers set: what the statistics key on, without the send time,
// id and process ids the sending constructor would add.
#pragma once

#include <cstdint>

#include "spindrel/bus/packet.h"

namespace bus_test {

inline ipc::IpcPacket BarePacket(std::int32_t from, std::int32_t to, std::int32_t msg_id) {
  ipc::IpcPacket packet;
  packet.from = from;
  packet.to = to;
  packet.msg_id = msg_id;
  return packet;
}

}  // namespace bus_test
