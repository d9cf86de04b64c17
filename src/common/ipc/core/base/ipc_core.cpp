#include "spindrel/bus/ipc_core.h"

#include "spindrel/bus/handler.h"
#include "common/ipc/core/base/quality_monitor.h"
#include "spindrel/bus/query_responser.h"
#include "common/ipc/core/base/receiver.h"
#include "platform/named_object.h"
#include "platform/named_sync.h"
#include "platform/process.h"

namespace ipc {
namespace {

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

void IpcCore::Init(std::int32_t client_id) { Init(client_id, IsProcessElevated()); }

void IpcCore::Init(std::int32_t client_id, bool global) {
  const std::lock_guard lock(lock_);
  if (joined_) return;
  client_id_ = client_id;
  init_thread_id_ = platform::CurrentThreadId();
  global_ = global;
  stopped_ = false;
  responder_->StartPool();

  receiver_ = std::make_unique<IpcReceiver>();
  receiver_->Start(global);

  platform::ErrorCode error = 0;
  liveness_mutex_ =
      std::make_unique<Liveness>(Liveness{platform::CreateOwnedMutex(InitedMutexName(client_id, global), error)});
  joined_ = true;
}

void IpcCore::Uninit(bool report) {
  const std::lock_guard lock(lock_);
  if (!joined_) return;
  joined_ = false;
  stopped_ = true;  // from here on sends are refused and the receive thread ends at its next turn

  if (receiver_) {
    receiver_->Stop();
    receiver_.reset();
  }
  responder_->StopPool(kQueryPoolIdleWaitMs);

  if (liveness_mutex_ && liveness_mutex_->mutex) {
    platform::ErrorCode error = 0;
    platform::UnlockNamedMutex(liveness_mutex_->mutex, error);
  }
  liveness_mutex_.reset();

  if (report) {
    monitor_->SendReport();
    monitor_->RecvReport();
  }
}

}  // namespace ipc
