#include "spindrel/bus/sender.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

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

// A process sends to a handful of clients; more targets than this and the least recently used goes.
constexpr std::size_t kKeptChannels = 16;
// A target not sent to for this long is closed (at the next send, and by a joined client's receive
// thread), so that a process that has stopped talking to a client does not keep the client's objects
// alive for good.
constexpr std::chrono::seconds kKeptIdleLimit{30};

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

void CloseAtExit();

// Sender channels kept between sends: opening one costs a dozen named objects. A channel is lent to one
// send at a time (two threads sending to one target at once open a second one), so no channel is used
// by two threads.
class KeptChannels {
 public:
  struct Kept {
    std::string name;
    bool global = false;
    channel target;
    std::chrono::steady_clock::time_point used;
    bool reused = false;  // kept from an earlier send
  };

  // The kept channel to name in scope global, or a newly opened one.
  Kept Lend(const std::string& name, bool global) {
    std::vector<Kept> closing;
    {
      const std::lock_guard guard(lock_);
      const auto now = std::chrono::steady_clock::now();
      MoveIf(closing, [&](const Kept& kept) { return now - kept.used >= kKeptIdleLimit; });
      const auto found = std::find_if(kept_.begin(), kept_.end(),
                                      [&](const Kept& kept) { return kept.name == name && kept.global == global; });
      if (found != kept_.end()) {
        Kept lent = std::move(*found);
        kept_.erase(found);
        lent.reused = true;
        return lent;
      }
    }
    return Kept{name, global, channel(name, global), {}};  // opened without the lock: other sends go on
  }

  // Keeps a channel that served a send; the oldest goes when too many are kept.
  void Return(Kept kept) {
    // Registered once a channel has been opened and used, so that the channels close at exit before
    // anything opening one set up is torn down.
    static std::once_flag close_at_exit;
    std::call_once(close_at_exit, [] { std::atexit(CloseAtExit); });
    std::vector<Kept> closing;
    const std::lock_guard guard(lock_);
    kept.used = std::chrono::steady_clock::now();
    kept.reused = false;
    kept_.push_back(std::move(kept));
    if (kept_.size() > kKeptChannels) {
      closing.push_back(std::move(kept_.front()));
      kept_.erase(kept_.begin());
    }
  }

  void CloseAll() { CloseIdle(std::chrono::steady_clock::duration::zero()); }

  void CloseIdle(std::chrono::steady_clock::duration idle_for) {
    std::vector<Kept> closing;
    const std::lock_guard guard(lock_);
    const auto now = std::chrono::steady_clock::now();
    MoveIf(closing, [&](const Kept& kept) { return now - kept.used >= idle_for; });
  }

  std::size_t Count() {
    const std::lock_guard guard(lock_);
    return kept_.size();
  }

 private:
  // Moves the kept channels that match into closing, which the caller destroys after the lock (a
  // channel closes a dozen objects). closing must be declared before the lock's guard.
  template <typename Match>
  void MoveIf(std::vector<Kept>& closing, Match match) {
    for (auto at = kept_.begin(); at != kept_.end();) {
      if (match(*at)) {
        closing.push_back(std::move(*at));
        at = kept_.erase(at);
      } else {
        ++at;
      }
    }
  }

  std::mutex lock_;
  std::vector<Kept> kept_;  // oldest use first
};

// Never destroyed: a send on another thread during exit must not meet a dead table.
KeptChannels& KeptTable() {
  static KeptChannels* const kept = new KeptChannels;
  return *kept;
}

void CloseAtExit() { KeptTable().CloseAll(); }

}  // namespace

IpcPacketPtr CreatePacket(std::int32_t to, std::int32_t msg_id, const nlohmann::json& data) {
  return std::make_shared<IpcPacket>(IpcCore::Instance().ClientId(), to, msg_id, data);
}

bool SendPacket(const IpcPacketPtr& packet, std::optional<bool> global) {
  const std::string name = GetClientName(packet->to);
  if (name == kUnknownClientName) {
    log_sink(log_level_failure, kSource, __LINE__, "client_name error!");
    return false;
  }
  IpcCore& core = IpcCore::Instance();
  if (core.Stopped()) return false;

  const bool guarded = IsGuarded(packet->to);
  const bool scope = global.has_value() ? *global : (guarded ? IsClientAlive(packet->to, true) : true);
  if (guarded && !IsClientAlive(packet->to, scope)) return false;

  packet->send_time_us = NowUs();
  const std::string wire = ToWireText(*packet);
  // A receiver refuses longer text without a word to anyone: refuse it here, where the sender hears.
  if (wire.size() - 1 > kMaxPacketBytes) {
    log_sink(log_level_failure, kSource, __LINE__, "packet too long.[To]%d[MsgId]%d[Bytes]%zu[Limit]%zu",
             static_cast<int>(packet->to), static_cast<int>(packet->msg_id), wire.size() - 1, kMaxPacketBytes);
    return false;
  }
  const std::uint64_t timeout_ms = SendTimeoutMs();
  KeptChannels::Kept kept = KeptTable().Lend(name, scope);
  kept.target.connect(channel::mode::sender);  // without a receiver the send below fails and says why
  bool accepted = kept.target.send(wire.data(), wire.size(), timeout_ms);
  if (!accepted && kept.reused) {
    // A kept channel may be what failed (its objects replaced under it while a receiver was away): one
    // more try on the channel opened afresh.
    kept = KeptChannels::Kept{name, scope, channel(name, scope), {}};
    kept.target.connect(channel::mode::sender);
    accepted = kept.target.send(wire.data(), wire.size(), timeout_ms);
  }
  if (accepted) KeptTable().Return(std::move(kept));

  if (IsClientAlive(packet->to, scope)) core.Monitor()->RecordSend(*packet, accepted);
  return accepted;
}

void CloseKeptChannels() { KeptTable().CloseAll(); }

void CloseIdleKeptChannels(std::chrono::milliseconds idle_for) { KeptTable().CloseIdle(idle_for); }

void CloseIdleKeptChannels() { KeptTable().CloseIdle(kKeptIdleLimit); }

std::size_t KeptChannelCount() { return KeptTable().Count(); }

}  // namespace ipc
