#include "spindrel/bus/query_responser.h"

#include <chrono>
#include <optional>
#include <thread>

#include "common/ipc/core/base/thread_pool.h"
#include "spindrel/bus/ipc_core.h"
#include "spindrel/transport/channel.h"

namespace ipc {
namespace {

constexpr char kPoolName[] = "query_pool";
constexpr std::uint64_t kAttemptTimeoutMs = 100;
// Pauses after the first and the second failed attempt; there is no fourth.
constexpr std::chrono::milliseconds kRetryPauses[] = {std::chrono::milliseconds(10), std::chrono::milliseconds(20)};

void Answer(const QueryHandler& handler, const IpcPacket& request, const nlohmann::json& argument) {
  std::optional<channel> target;
  if (request.response_channel && !request.response_channel->empty()) {
    target.emplace(*request.response_channel, request.uac.value_or(true));  // the asker's scope
    target->connect(channel::mode::sender);
  }

  std::string text;
  try {
    text = handler(argument).dump(-1, ' ', false, nlohmann::json::error_handler_t::strict);
  } catch (const std::exception&) {
    return;  // a failing handler, or an answer that is no JSON text: the asker gets nothing
  }
  if (!target) return;
  text.push_back('\0');

  // An answer whose handler finished is sent even while Uninit waits for the pool: a program that leaves
  // right after its last query still answers it. Only the retries end with the bus.
  const IpcCore& core = IpcCore::Instance();
  for (std::size_t attempt = 0;; ++attempt) {
    if (target->send_strict(text.data(), text.size(), kAttemptTimeoutMs)) return;
    if (attempt == std::size(kRetryPauses) || core.Stopped()) return;
    std::this_thread::sleep_for(kRetryPauses[attempt]);
  }
}

}  // namespace

IpcQueryResponser::IpcQueryResponser() : pool_(std::make_unique<ThreadPool>(kPoolName, kThreadCount)) {}

IpcQueryResponser::~IpcQueryResponser() = default;

void IpcQueryResponser::Handle(IpcPacketPtr packet) {
  std::int32_t query_id = 0;
  nlohmann::json argument;
  try {
    const nlohmann::json& body = packet->data;
    if (!body.at("query_id").is_number()) return;  // the library would also take a boolean
    query_id = body.at("query_id").get<std::int32_t>();
    argument = body.at("data");
  } catch (const nlohmann::json::exception&) {
    return;
  }

  const std::lock_guard lock(lock_);
  const auto found = handlers_.find(query_id);
  const QueryHandler& handler = found != handlers_.end() ? found->second : default_;
  if (!handler || !pool_) return;
  std::string tag = "query_id=" + std::to_string(query_id) + ",id=" + packet->unique_id.value_or("");
  pool_->Submit(
      [handler, packet = std::move(packet), argument = std::move(argument)] { Answer(handler, *packet, argument); },
      std::move(tag));
}

void IpcQueryResponser::Register(std::int32_t query_id, QueryHandler handler) {
  const std::lock_guard lock(lock_);
  handlers_[query_id] = std::move(handler);
}

void IpcQueryResponser::Unregister(std::int32_t query_id) {
  const std::lock_guard lock(lock_);
  handlers_.erase(query_id);
}

void IpcQueryResponser::SetDefault(QueryHandler handler) {
  const std::lock_guard lock(lock_);
  default_ = std::move(handler);
}

void IpcQueryResponser::StartPool() {
  const std::lock_guard lock(lock_);
  if (!pool_) pool_ = std::make_unique<ThreadPool>(kPoolName, kThreadCount);
}

void IpcQueryResponser::StopPool(std::uint32_t wait_ms) {
  std::unique_ptr<ThreadPool> pool;
  {
    const std::lock_guard lock(lock_);
    pool = std::move(pool_);
  }
  if (!pool) return;
  pool->WaitIdle(wait_ms);
  // Destroyed outside the lock: its remaining tasks may still run and must not block registration.
}

}  // namespace ipc
