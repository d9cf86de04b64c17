#include "spindrel/bus/ipc_core.h"

#include "common/ipc/core/base/quality_monitor.h"
#include "common/ipc/core/base/receiver.h"
#include "platform/named_object.h"
#include "platform/named_sync.h"
#include "platform/process.h"
#include "spindrel/bus/handler.h"
#include "spindrel/bus/query_responser.h"
#include "spindrel/bus/sender.h"
#include "spindrel/transport/channel.h"
#include "spindrel/transport/log_sink.h"

namespace ipc {
namespace {

constexpr const char* kSource = "src/common/ipc/core/base/ipc_core";
constexpr std::uint32_t kQueryPoolIdleWaitMs = 4000;

}  // namespace

struct IpcCore::Liveness {
  platform::NamedObject mutex;
};

IpcCore& IpcCore::Instance() {
  static IpcCore core;
  return core;
}

IpcCore::IpcCore()
    : handler_(std::make_shared<IpcMsgHandler>()),
      responder_(std::make_shared<IpcQueryResponser>()),
      monitor_(std::make_shared<IpcQualityMonitor>()) {}

IpcCore::~IpcCore() { Uninit(false); }

bool IpcCore::Init(std::int32_t client_id) { return Init(client_id, IsProcessElevated()); }

bool IpcCore::Init(std::int32_t client_id, bool global) {
  const std::lock_guard lock(lock_);
  if (started_) return joined_ && client_id_ == client_id && global_ == global;
  client_id_ = client_id;
  init_thread_id_ = platform::CurrentThreadId();
  global_ = global;
  stopped_ = false;
  started_ = true;
  responder_->StartPool();

  // The receiver comes first: a sender that finds the client alive must find its channel taken too.
  receiver_ = std::make_unique<IpcReceiver>();
  if (!receiver_->Start(global)) {
    receiver_.reset();
    return false;
  }

  // Without its mutex the client would receive while every other process takes it for absent (guarded
  // targets are never sent to), so it does not receive at all. It still sends: the exit monitor's
  // notices must not depend on its own visibility, which another process can take away.
  const std::string name = InitedMutexName(client_id, global);
  platform::ErrorCode error = 0;
  platform::NamedObject mutex = platform::CreateOwnedMutex(name, error);
  if (!mutex) {
    log_sink(log_level_failure, kSource, __LINE__, "create inited mutex failed.[Name]%s[Error]%u", name.c_str(),
             static_cast<unsigned>(error));
    receiver_->Stop();
    receiver_.reset();
    return false;
  }
  liveness_mutex_ = std::make_unique<Liveness>(Liveness{std::move(mutex)});
  joined_ = true;
  return true;
}

void IpcCore::Uninit(bool report) {
  const std::lock_guard lock(lock_);
  if (!started_) return;
  stopped_ = true;  // from here on sends are refused and the receive thread ends at its next turn
  if (receiver_) {
    receiver_->Stop();
    receiver_.reset();
  }
  responder_->StopPool(kQueryPoolIdleWaitMs);
  if (liveness_mutex_) {
    platform::ErrorCode error = 0;
    platform::UnlockNamedMutex(liveness_mutex_->mutex, error);
    liveness_mutex_.reset();
  }
  started_ = false;
  joined_ = false;

  if (report) {
    monitor_->SendReport();
    monitor_->RecvReport();
  }
  // What the sends kept open goes with the bus: a process that leaves it keeps no other client's
  // objects alive.
  CloseKeptChannels();
  close_unused_storage();
}

}  // namespace ipc
