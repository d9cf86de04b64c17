#include "spindrel/bus/ask.h"

#include <algorithm>
#include <atomic>
#include <string>
#include <string_view>

#include "platform/process.h"
#include "spindrel/bus/client.h"
#include "spindrel/bus/ipc_core.h"
#include "spindrel/bus/packet.h"
#include "spindrel/transport/channel.h"
#include "spindrel/transport/log_sink.h"

namespace ipc {
namespace {

constexpr const char* kSource = "src/common/ipc/core/base/ask";
// How long the target's queue may stay full before the query counts as refused.
constexpr std::uint64_t kSendTimeoutMs = 200;
// A receive returns at least this often, so a call never overstays its deadline by more.
constexpr std::uint64_t kReceiveSliceMs = 50;

// Each call gets a reply channel of its own: calls on several threads never take each other's answers.
std::string NewReplyChannelName() {
  static std::atomic<std::uint64_t> next{0};
  return "spindrel_reply_" + std::to_string(platform::CurrentProcessId()) + "_" + std::to_string(next++);
}

bool ReplyScope(const AskOptions& options) {
  if (options.global) return *options.global;
  const IpcCore& core = IpcCore::Instance();
  return core.Stopped() ? IsProcessElevated() : core.Global();
}

bool TargetScope(std::int32_t to, const AskOptions& options) {
  if (options.global) return *options.global;
  return IsClientAlive(to, true) || !IsClientAlive(to, false);
}

}  // namespace

std::optional<nlohmann::json> Ask(std::int32_t to, std::int32_t query_id, const nlohmann::json& data,
                                  std::chrono::milliseconds timeout, const AskOptions& options) {
  const std::string target_name = GetClientName(to);
  if (target_name == kUnknownClientName) {
    log_sink(log_level_failure, kSource, __LINE__, "ask: no client %d", to);
    return std::nullopt;
  }
  IpcPacket packet(options.from.value_or(IpcCore::Instance().ClientId()), to, options.msg_id,
                   {{"query_id", query_id}, {"data", data}});
  // The answerer replies in the scope the packet's uac names.
  const bool reply_global = ReplyScope(options);
  packet.uac = reply_global;
  packet.response_channel = NewReplyChannelName();
  std::string wire;
  try {
    wire = ToWireText(packet);
  } catch (const nlohmann::json::exception& error) {
    log_sink(log_level_failure, kSource, __LINE__, "ask: query %d for %s not sent: %s", query_id, target_name.c_str(),
             error.what());
    return std::nullopt;
  }
  if (wire.size() - 1 > kMaxPacketBytes) {  // its receiver would drop it
    log_sink(log_level_failure, kSource, __LINE__, "ask: query %d for %s not sent: %zu bytes, at most %zu", query_id,
             target_name.c_str(), wire.size() - 1, kMaxPacketBytes);
    return std::nullopt;
  }

  // Connected before the query goes out, so that no answer can come before anyone listens.
  channel reply(*packet.response_channel, reply_global);
  if (!reply.connect(channel::mode::receiver)) {
    log_sink(log_level_failure, kSource, __LINE__, "ask: cannot open the reply channel %s",
             packet.response_channel->c_str());
    return std::nullopt;
  }
  const bool target_global = TargetScope(to, options);
  channel target(target_name, target_global);
  if (!target.connect(channel::mode::sender) || !target.send(wire.data(), wire.size(), kSendTimeoutMs)) {
    log_sink(log_level_failure, kSource, __LINE__, "ask: %s (%s) took no query", target_name.c_str(),
             target_global ? "global" : "local");
    return std::nullopt;
  }

  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (auto now = std::chrono::steady_clock::now(); now < deadline; now = std::chrono::steady_clock::now()) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count();
    const recv_buffer answer = reply.recv(std::min<std::uint64_t>(static_cast<std::uint64_t>(left), kReceiveSliceMs));
    if (answer.empty()) continue;
    const std::string_view text(static_cast<const char*>(answer.data()), answer.size());
    const std::string_view json_text = text.substr(0, text.find('\0'));
    nlohmann::json parsed = nlohmann::json::parse(json_text, nullptr, false);
    if (!parsed.is_discarded()) return parsed;
    log_sink(log_level_failure, kSource, __LINE__, "ask: the answer of %s to query %d is not JSON text",
             target_name.c_str(), query_id);
    return std::nullopt;
  }
  log_sink(log_level_failure, kSource, __LINE__, "ask: no answer from %s (%s) to query %d within %lld ms",
           target_name.c_str(), target_global ? "global" : "local", query_id, static_cast<long long>(timeout.count()));
  return std::nullopt;
}

}  // namespace ipc
