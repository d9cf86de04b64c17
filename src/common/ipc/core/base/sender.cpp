#include "spindrel/bus/sender.h"

#include <algorithm>

#include "common/ipc/core/base/quality_monitor.h"
#include "platform/process.h"
#include "spindrel/bus/client.h"
#include "spindrel/bus/ipc_core.h"
#include "spindrel/transport/channel.h"
#include "spindrel/transport/log_sink.h"

namespace ipc {
namespace {

constexpr const char* kSource = "src/common/ipc/core/base/sender";
constexpr std::uint64_t kInitThreadTimeoutMs = 10;
constexpr std::uint64_t kOtherThreadTimeoutMs = 200;

// Targets whose scope is found by probing and that must be alive to be sent to.
constexpr std::int32_t kGuardedTargets[] = {110002, 110003, 110006, 110015, 110018, 200001};

bool IsGuarded(std::int32_t id) {
  return std::find(std::begin(kGuardedTargets), std::end(kGuardedTargets), id) != std::end(kGuardedTargets);
}

// The bus's initialising thread must not wait long (it is usually a program's main thread).
std::uint64_t SendTimeoutMs() {
  // Read once, on the first send that gets this far, and kept for the life of the process.
  static const std::uint32_t init_thread = IpcCore::Instance().InitThreadId();
  return platform::CurrentThreadId() == init_thread ? kInitThreadTimeoutMs : kOtherThreadTimeoutMs;
}

}  // namespace

IpcPacketPtr CreatePacket(std::int32_t to, std::int32_t msg_id, const nlohmann::json& data) {
  return std::make_shared<IpcPacket>(IpcCore::Instance().ClientId(), to, msg_id, data);
}

bool SendPacket(const IpcPacketPtr& packet, std::optional<bool> global) {
  const std::string name = GetClientName(packet->to);
  if (name == kUnknownClientName) {
    log_sink(log_level_failure, kSource, 60, "client_name error!");
    return false;
  }
  IpcCore& core = IpcCore::Instance();
  if (core.Stopped()) return false;

  const bool guarded = IsGuarded(packet->to);
  const bool scope = global.has_value() ? *global : (guarded ? IsClientAlive(packet->to, true) : true);
  if (guarded && !IsClientAlive(packet->to, scope)) return false;

  channel target(name, scope);
  target.connect(channel::mode::sender);  // without a receiver the send below fails and says why
  packet->send_time_us = NowUs();
  const std::uint64_t timeout_ms = SendTimeoutMs();
  const std::string wire = ToWireText(*packet);
  const bool accepted = target.send(wire.data(), wire.size(), timeout_ms);

  if (IsClientAlive(packet->to, scope)) core.Monitor()->RecordSend(*packet, accepted);
  return accepted;
}

}  // namespace ipc
