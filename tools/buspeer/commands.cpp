#include "tools/buspeer/commands.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>

#include "platform/process.h"
#include "spindrel/bus.h"

namespace buspeer {
namespace {

using Clock = std::chrono::steady_clock;
using nlohmann::json;

// One line per packet, flushed at once, so that scripts can follow the output as it comes.
void PrintLine(const std::string& line) {
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

std::string PacketLine(const ipc::IpcPacket& packet) {
  return json(packet).dump(-1, ' ', false, json::error_handler_t::replace);
}

// A message as one line: the packet when it is one, otherwise its size and text.
std::string MessageLine(const ipc::recv_buffer& buffer) {
  const std::string_view bytes(static_cast<const char*>(buffer.data()), buffer.size());
  try {
    return PacketLine(ipc::FromWireText(bytes));
  } catch (const json::exception&) {
    json raw = {{"raw_size", bytes.size()}, {"raw", std::string(bytes.substr(0, bytes.find('\0')))}};
    return raw.dump(-1, ' ', false, json::error_handler_t::replace);
  }
}

Clock::time_point Deadline(std::uint64_t timeout_ms) {
  return timeout_ms == 0 ? Clock::time_point::max() : Clock::now() + std::chrono::milliseconds(timeout_ms);
}

// The target's scope as a sender sees it: where its liveness mutex is, global when it is nowhere.
bool TargetScope(std::int32_t target, const Scope& scope) {
  if (scope.global) return *scope.global;
  return ipc::IsClientAlive(target, true) || !ipc::IsClientAlive(target, false);
}

// Counts packets until the wanted number arrived or the deadline passed.
class PacketCounter {
 public:
  explicit PacketCounter(std::optional<std::uint64_t> wanted) : wanted_(wanted) {}

  void Add() {
    const std::lock_guard lock(mutex_);
    ++seen_;
    changed_.notify_all();
  }
  // True when the wanted number arrived (or none was asked for and the deadline passed).
  bool WaitUntil(Clock::time_point deadline) {
    std::unique_lock lock(mutex_);
    const auto done = [this] { return wanted_ && seen_ >= *wanted_; };
    if (deadline == Clock::time_point::max()) {
      changed_.wait(lock, done);
    } else {
      changed_.wait_until(lock, deadline, done);
    }
    return !wanted_ || seen_ >= *wanted_;
  }

 private:
  std::optional<std::uint64_t> wanted_;
  std::uint64_t seen_ = 0;
  std::mutex mutex_;
  std::condition_variable changed_;
};

}  // namespace

int Listen(const ListenOptions& options) {
  ipc::IpcCore& core = ipc::IpcCore::Instance();
  PacketCounter counter(options.count);
  core.Handler()->SetObserver([&counter](const ipc::IpcPacketPtr& packet) {
    PrintLine(PacketLine(*packet));
    counter.Add();
  });
  if (options.answer) {
    core.Responder()->SetDefault([answer = *options.answer](const json&) { return answer; });
  }
  const bool global = options.scope.global.value_or(ipc::IsProcessElevated());
  if (!core.Init(options.client, global)) {
    std::fprintf(stderr,
                 "buspeer: cannot join the bus as %s (%s): its channel or its liveness mutex %s could not be taken\n",
                 ipc::GetClientName(options.client).c_str(), global ? "global" : "local",
                 ipc::InitedMutexName(options.client, global).c_str());
    core.Handler()->SetObserver({});
    return kFailed;
  }
  const bool complete = counter.WaitUntil(Deadline(options.timeout_ms));
  core.Uninit(false);
  core.Handler()->SetObserver({});
  return complete ? kOk : kFailed;
}

int Watch(const WatchOptions& options) {
  ipc::channel watched(ipc::GetClientName(options.client), options.scope.global.value_or(ipc::IsProcessElevated()));
  if (!watched.connect(ipc::channel::mode::receiver)) {
    std::fprintf(stderr, "buspeer: cannot connect to the channel of %s\n", ipc::GetClientName(options.client).c_str());
    return kFailed;
  }
  const Clock::time_point deadline = Deadline(options.timeout_ms);
  std::uint64_t seen = 0;
  while (!(options.count && seen >= *options.count) && Clock::now() < deadline) {
    const ipc::recv_buffer buffer = watched.recv();  // returns at least every 200 ms
    if (buffer.empty()) continue;
    PrintLine(MessageLine(buffer));
    ++seen;
  }
  return !options.count || seen >= *options.count ? kOk : kFailed;
}

int Send(const SendOptions& options) {
  const std::string target_name = ipc::GetClientName(options.to);
  ipc::IpcPacket packet(options.from, options.to, options.msg_id, options.data);
  const bool target_global = TargetScope(options.to, options.scope);

  std::optional<ipc::channel> reply;
  if (options.query_id) {
    // The answer comes back to a channel of our own, in the scope the packet's uac names.
    const bool own_global = options.scope.global.value_or(ipc::IsProcessElevated());
    packet.uac = own_global;
    packet.response_channel = "buspeer_reply_" + std::to_string(platform::CurrentProcessId());
    packet.data = {{"query_id", *options.query_id}, {"data", options.data}};
    reply.emplace(*packet.response_channel, own_global);
    if (!reply->connect(ipc::channel::mode::receiver)) {
      std::fprintf(stderr, "buspeer: cannot open the reply channel\n");
      return kFailed;
    }
  }

  ipc::channel target(target_name, target_global);
  target.connect(ipc::channel::mode::sender);
  packet.send_time_us = ipc::NowUs();
  const std::string wire = ipc::ToWireText(packet);
  if (!target.send(wire.data(), wire.size(), 200)) {
    std::fprintf(stderr, "buspeer: %s (%s) took no message\n", target_name.c_str(), target_global ? "global" : "local");
    return kFailed;
  }
  if (!reply) return kOk;

  const Clock::time_point deadline = Deadline(options.timeout_ms);
  while (Clock::now() < deadline) {
    const ipc::recv_buffer answer = reply->recv();
    if (answer.empty()) continue;
    const std::string_view text(static_cast<const char*>(answer.data()), answer.size());
    PrintLine(std::string(text.substr(0, text.find('\0'))));
    return kOk;
  }
  std::fprintf(stderr, "buspeer: no answer within %llu ms\n", static_cast<unsigned long long>(options.timeout_ms));
  return kFailed;
}

int Clients() {
  for (const auto& [id, name] : ipc::KnownClients()) {
    for (const bool global : {true, false}) {
      if (ipc::IsClientAlive(id, global)) PrintLine(std::to_string(id) + " " + name + (global ? " global" : " local"));
    }
  }
  return kOk;
}

namespace {

template <typename Stat>
void PrintStats(const char* title, const std::optional<ipc::StoredStats<Stat>>& stats, const char* second_counter,
                std::uint64_t (*second)(const Stat&)) {
  std::printf("%s:\n", title);
  if (!stats) {
    std::printf("  (unreadable)\n");
    return;
  }
  std::printf("  %10s %10s %10s %12s %12s\n", "from", "to", "msg_id", "total", second_counter);
  for (const auto& [key, stat] : *stats) {
    std::printf("  %10d %10d %10d %12llu %12llu\n", key.from, key.to, key.msg_id,
                static_cast<unsigned long long>(stat.total), static_cast<unsigned long long>(second(stat)));
  }
}

}  // namespace

int Stats() {
  PrintStats<ipc::SendStat>("sent", ipc::ReadStoredSendStats(), "success",
                            [](const ipc::SendStat& stat) { return stat.success; });
  PrintStats<ipc::RecvStat>("received", ipc::ReadStoredRecvStats(), "avg_cost",
                            [](const ipc::RecvStat& stat) { return stat.avg_cost; });
  return kOk;
}

}  // namespace buspeer
