// Dispatch of received packets: the receive filters decide whether this process should see a packet at
// all; a query goes to the query responder; any other packet goes to the handler registered for its
// message id.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>

#include "spindrel/bus/packet.h"
#include "spindrel/export.h"

namespace ipc {

// Handles one packet; false means it did not (logged, not retried). Must not throw.
using PacketHandler = std::function<bool(IpcPacketPtr packet)>;
// Decides where a handler's work runs: called with the packet and the work, it may run the work in
// place, queue it, or hand it to a thread of its own.
using PacketExecutor = std::function<void(IpcPacketPtr packet, std::function<void()> work)>;

struct HandlerEntry {
  PacketHandler handler;
  PacketExecutor executor;  // empty: every packet runs on a new detached thread
};

// The registry of packet handlers by message id. Thread-safe.
class SPINDREL_API IpcMsgHandler {
 public:
  // Filters the packet, then gives a query to the query responder and anything else to its handler.
  // Never waits for the handler, unless its executor runs the work in place (then under the registry
  // lock: such a handler must not register or remove handlers).
  void Handle(IpcPacketPtr packet);

  // Inserts or replaces the handler of msg_id.
  void Register(std::int32_t msg_id, PacketHandler handler, PacketExecutor executor = {});
  // Removes the handler of msg_id, if any.
  void Unregister(std::int32_t msg_id);

  // Sees every packet that passes the filters, queries included, before it is dispatched; for monitors
  // such as the bus peer tool. Runs on the dispatching thread; must be quick and must not throw.
  using Observer = std::function<void(const IpcPacketPtr& packet)>;
  void SetObserver(Observer observer);

 private:
  std::mutex lock_;
  Observer observer_;
  std::map<std::int32_t, HandlerEntry> registry_;
};

}  // namespace ipc
