#include "tools/buspeer/commands.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string_view>

#include "spindrel/bus.h"

namespace buspeer {
namespace {

using Clock = std::chrono::steady_clock;
using nlohmann::json;

std::mutex diagnostics_lock;
std::string last_failure;

// Why the bus refused, in its own words, or the fallback when it logged nothing.
std::string LastFailure(const std::string& fallback) {
  const std::lock_guard lock(diagnostics_lock);
  return last_failure.empty() ? fallback : last_failure;
}

// One line per packet, flushed at once, so that scripts can follow the output as it comes.
void PrintLine(const std::string& line) {
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

// The received packets were checked as UTF-8 when they were read, so nothing is replaced here.
std::string PacketLine(const ipc::IpcPacket& packet) { return json(packet).dump(); }

// A message as one line: the packet when it is one, otherwise its size and what it holds up to a zero
// byte, with the bytes that are not UTF-8 marked as U+FFFD (a watcher shows what it cannot parse).
std::string MessageLine(const ipc::recv_buffer& buffer) {
  const std::string_view bytes(static_cast<const char*>(buffer.data()), buffer.size());
  try {
    return PacketLine(ipc::FromWireText(bytes));
  } catch (const json::exception&) {
    json raw = {{"raw_size", bytes.size()}, {"raw", std::string(bytes.substr(0, bytes.find('\0')))}};
    return raw.dump(-1, ' ', false, json::error_handler_t::replace);
  }
}

const char* ScopeName(bool global) { return global ? "global" : "local"; }

Clock::time_point Deadline(std::uint64_t timeout_ms) {
  return timeout_ms == 0 ? Clock::time_point::max() : Clock::now() + std::chrono::milliseconds(timeout_ms);
}

// The target's scope as a sender sees it: where its liveness mutex is, global when it is nowhere.
bool TargetScope(std::int32_t target, const Scope& scope) {
  if (scope.global) return *scope.global;
  return ipc::IsClientAlive(target, true) || !ipc::IsClientAlive(target, false);
}

void NoReceiver(std::int32_t target, bool global) {
  std::fprintf(stderr, "buspeer: no receiver on %s's %s channel; is it running? see `buspeer clients`\n",
               ipc::GetClientName(target).c_str(), ScopeName(global));
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

void CollectDiagnostics(bool verbose) {
  ipc::set_log_sink([verbose](int level, const char* file, int line, const char* text) {
    std::string_view message(text);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r')) message.remove_suffix(1);
    const std::lock_guard lock(diagnostics_lock);
    if (level <= ipc::log_level_failure) last_failure = message;
    if (verbose) {
      std::fprintf(stderr, "buspeer: [%d] %s:%d: %.*s\n", level, file, line, static_cast<int>(message.size()),
                   message.data());
    }
  });
}

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
  const std::string name = ipc::GetClientName(options.client);
  const bool global = options.scope.global.value_or(ipc::IsProcessElevated());
  if (!core.Init(options.client, global)) {
    const std::string reason = LastFailure("its channel or its liveness mutex " +
                                           ipc::InitedMutexName(options.client, global) + " could not be taken");
    std::fprintf(stderr, "buspeer: cannot join the bus as %s (%s): %s; is it running already? see `buspeer clients`\n",
                 name.c_str(), ScopeName(global), reason.c_str());
    core.Uninit(false);
    core.Handler()->SetObserver({});
    return kFailed;
  }
  // Scripts wait for this line before they send: from here on nothing sent to the client is lost.
  std::fprintf(stderr, "listening as %s (%d, %s)\n", name.c_str(), options.client, ScopeName(global));
  std::fflush(stderr);
  const bool complete = counter.WaitUntil(Deadline(options.timeout_ms));
  core.Uninit(false);  // sends the answer of a query that is still being answered
  core.Handler()->SetObserver({});
  return complete ? kOk : kFailed;
}

int Watch(const WatchOptions& options) {
  const std::string name = ipc::GetClientName(options.client);
  const bool global = options.scope.global.value_or(ipc::IsProcessElevated());
  ipc::channel watched(name, global);
  if (!watched.connect(ipc::channel::mode::receiver)) {
    std::fprintf(stderr, "buspeer: cannot receive on %s's %s channel: %s\n", name.c_str(), ScopeName(global),
                 LastFailure("no place among its 32 receivers").c_str());
    return kFailed;
  }
  std::fprintf(stderr, "watching %s (%d, %s)\n", name.c_str(), options.client, ScopeName(global));
  std::fflush(stderr);
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
  const bool target_global = TargetScope(options.to, options.scope);
  if (options.query_id) {
    ipc::AskOptions ask;
    ask.from = options.from;
    ask.msg_id = options.msg_id;
    ask.global = options.scope.global;
    const auto answer =
        ipc::Ask(options.to, *options.query_id, options.data, std::chrono::milliseconds(options.timeout_ms), ask);
    if (answer) {
      PrintLine(answer->dump());
      return kOk;
    }
    if (!ipc::IsClientAlive(options.to, target_global)) {
      NoReceiver(options.to, target_global);
    } else {
      std::fprintf(stderr,
                   "buspeer: no answer from %s to query %d within %llu ms; does it answer that query? (--timeout "
                   "waits longer)\n",
                   ipc::GetClientName(options.to).c_str(), *options.query_id,
                   static_cast<unsigned long long>(options.timeout_ms));
    }
    return kFailed;
  }

  const ipc::IpcPacket packet(options.from, options.to, options.msg_id, options.data);
  ipc::channel target(ipc::GetClientName(options.to), target_global);
  const std::string wire = ipc::ToWireText(packet);  // the caller checked the body as UTF-8
  if (!target.connect(ipc::channel::mode::sender) || !target.send(wire.data(), wire.size(), 200)) {
    NoReceiver(options.to, target_global);
    return kFailed;
  }
  return kOk;
}

int Clients(bool as_json) {
  json clients = json::array();
  for (const auto& [id, name] : ipc::KnownClients()) {
    for (const bool global : {true, false}) {
      if (!ipc::IsClientAlive(id, global)) continue;
      const std::optional<std::uint32_t> pid = ipc::ClientProcessId(id, global);
      if (as_json) {
        clients.push_back(
            {{"id", id}, {"name", name}, {"scope", ScopeName(global)}, {"pid", pid ? json(*pid) : json()}});
      } else {
        PrintLine(std::to_string(id) + " " + name + " " + ScopeName(global) + (pid ? " " + std::to_string(*pid) : ""));
      }
    }
  }
  if (as_json) PrintLine(clients.dump());
  return kOk;
}

namespace {

// One counter table: a JSON array of records, or the text table under its title.
template <typename Stat>
json StatsTable(const char* title, const std::optional<ipc::StoredStats<Stat>>& stats, const char* second_counter,
                std::uint64_t (*second)(const Stat&), bool as_json) {
  if (!as_json) std::printf("%s:\n", title);
  if (!stats) {
    if (!as_json) std::printf("  (unreadable)\n");
    return nullptr;
  }
  json rows = json::array();
  if (!as_json) std::printf("  %10s %10s %10s %12s %12s\n", "from", "to", "msg_id", "total", second_counter);
  for (const auto& [key, stat] : *stats) {
    if (as_json) {
      rows.push_back({{"from", key.from},
                      {"to", key.to},
                      {"msg_id", key.msg_id},
                      {"total", stat.total},
                      {second_counter, second(stat)}});
    } else {
      std::printf("  %10d %10d %10d %12llu %12llu\n", key.from, key.to, key.msg_id,
                  static_cast<unsigned long long>(stat.total), static_cast<unsigned long long>(second(stat)));
    }
  }
  return rows;
}

}  // namespace

int Stats(bool as_json) {
  json document = {{"sent", StatsTable<ipc::SendStat>(
                                "sent", ipc::ReadStoredSendStats(), "success",
                                [](const ipc::SendStat& stat) { return stat.success; }, as_json)},
                   {"received", StatsTable<ipc::RecvStat>(
                                    "received", ipc::ReadStoredRecvStats(), "avg_cost",
                                    [](const ipc::RecvStat& stat) { return stat.avg_cost; }, as_json)}};
  if (as_json) PrintLine(document.dump());
  return kOk;
}

}  // namespace buspeer
