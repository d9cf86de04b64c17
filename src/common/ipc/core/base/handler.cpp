#include "spindrel/bus/handler.h"

#include <array>
#include <optional>
#include <string>
#include <thread>

#include "common/ipc/core/base/filters.h"
#include "platform/process.h"
#include "spindrel/bus/ipc_core.h"
#include "spindrel/bus/query_responser.h"
#include "spindrel/transport/log_sink.h"

namespace ipc {
namespace {

constexpr const char* kSource = "src/common/ipc/core/base/handler";

using Filter = std::optional<std::string> (*)(const IpcPacketPtr& packet);

std::uint64_t OwnProcessId() { return platform::CurrentProcessId(); }

std::optional<std::string> TargetClient(const IpcPacketPtr& packet) {
  if (packet->to != IpcCore::Instance().ClientId()) return "Target client not matched.";
  return std::nullopt;
}

std::optional<std::string> TargetProcess(const IpcPacketPtr& packet) {
  if (!packet->to_process_id || (*packet->to_process_id != 0 && *packet->to_process_id != OwnProcessId())) {
    return "Target pid not matched.";
  }
  return std::nullopt;
}

std::optional<std::string> OwnPacket(const IpcPacketPtr& packet) {
  const bool handle_self = packet->handle_self_ipc.value_or(false);
  if (!handle_self && packet->from_process_id.value_or(0) == OwnProcessId()) return "Skip self ipc message.";
  return std::nullopt;
}

constexpr std::array<Filter, 3> kFilters{TargetClient, TargetProcess, OwnPacket};

const std::string& UniqueId(const IpcPacketPtr& packet) {
  static const std::string none;
  return packet->unique_id ? *packet->unique_id : none;
}

}  // namespace

bool Filtered(const IpcPacketPtr& packet) {
  for (const Filter filter : kFilters) {
    const std::optional<std::string> reason = filter(packet);
    if (!reason) continue;
    nlohmann::json json = *packet;
    const std::string text = json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    log_sink(log_level_filtered, kSource, __LINE__,
             "message was filtered.[Reason]%s[PKT]%s[CT]%d[PID]%u[MsgId] %d[Id] %s", reason->c_str(), text.c_str(),
             IpcCore::Instance().ClientId(), platform::CurrentProcessId(), packet->msg_id, UniqueId(packet).c_str());
    return true;
  }
  return false;
}

void IpcMsgHandler::Handle(IpcPacketPtr packet) {
  if (Filtered(packet)) return;
  {
    const std::lock_guard lock(lock_);
    if (observer_) observer_(packet);
  }
  if (packet->response_channel && !packet->response_channel->empty()) {
    IpcCore::Instance().Responder()->Handle(std::move(packet));
    return;
  }

  const std::lock_guard lock(lock_);
  const auto entry = registry_.find(packet->msg_id);
  if (entry == registry_.end()) {
    log_sink(log_level_failure, kSource, __LINE__, "message handler not found.[MsgId]%d[Id]%s", packet->msg_id,
             UniqueId(packet).c_str());
    return;
  }
  std::function<void()> work = [handler = entry->second.handler, packet] {
    if (!handler(packet)) {
      log_sink(log_level_failure, kSource, __LINE__, "handle function return false.[MsgId]%d[Id]%s", packet->msg_id,
               UniqueId(packet).c_str());
    }
  };
  if (entry->second.executor) {
    entry->second.executor(packet, std::move(work));
  } else {
    std::thread(std::move(work)).detach();
  }
}

void IpcMsgHandler::Register(std::int32_t msg_id, PacketHandler handler, PacketExecutor executor) {
  const std::lock_guard lock(lock_);
  registry_[msg_id] = HandlerEntry{std::move(handler), std::move(executor)};
}

void IpcMsgHandler::SetObserver(Observer observer) {
  const std::lock_guard lock(lock_);
  observer_ = std::move(observer);
}

void IpcMsgHandler::Unregister(std::int32_t msg_id) {
  const std::lock_guard lock(lock_);
  registry_.erase(msg_id);
}

}  // namespace ipc
