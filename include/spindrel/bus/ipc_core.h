// The process's place on the bus: its client identity, whether the bus runs, the liveness mutex that
// tells other processes it is up, and the four parts of the bus (handler registry, query responder,
// receiver, statistics). Init joins the bus, Uninit leaves it.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "spindrel/bus/client.h"
#include "spindrel/export.h"

namespace ipc {

class IpcMsgHandler;
class IpcQueryResponser;
class IpcReceiver;
class IpcQualityMonitor;

class SPINDREL_API IpcCore {
 public:
  // The process's bus, made on first use (which already starts the query pool). Thread-safe.
  static IpcCore& Instance();

  ~IpcCore();
  IpcCore(const IpcCore&) = delete;
  IpcCore& operator=(const IpcCore&) = delete;

  // Joins the bus as client_id: starts the receiver on the client's channel, then takes its liveness
  // mutex, in the global scope when this process runs elevated. The calling thread becomes the init
  // thread. True when the process is on the bus as client_id in that scope, also when it already was.
  // False when the client has no name, its channel takes no receiver or its liveness mutex cannot be
  // created (each reported through log_sink): the process then neither receives nor holds the mutex,
  // so no other process takes it for running, but it can still send until Uninit (the exit monitor's
  // notices do not depend on being seen). False, changing nothing, after an Init until Uninit unless
  // that Init joined as the same client in the same scope.
  [[nodiscard]] bool Init(std::int32_t client_id);
  [[nodiscard]] bool Init(std::int32_t client_id, bool global);

  // Leaves the bus: refuses further sends, stops the receiver, gives the query pool up to 4000 ms to
  // finish, releases the liveness mutex and, when report is set, merges this run's statistics into the
  // registry. Does nothing while not joined.
  void Uninit(bool report);

  [[nodiscard]] std::int32_t ClientId() const { return client_id_.load(std::memory_order_relaxed); }
  [[nodiscard]] std::uint32_t InitThreadId() const { return init_thread_id_.load(std::memory_order_relaxed); }
  // True while the bus is not running (also before the first Init).
  [[nodiscard]] bool Stopped() const { return stopped_.load(); }
  // The scope the receiver and the liveness mutex live in.
  [[nodiscard]] bool Global() const { return global_.load(std::memory_order_relaxed); }

  [[nodiscard]] std::shared_ptr<IpcMsgHandler> Handler() const { return handler_; }
  [[nodiscard]] std::shared_ptr<IpcQueryResponser> Responder() const { return responder_; }
  [[nodiscard]] std::shared_ptr<IpcQualityMonitor> Monitor() const { return monitor_; }

 private:
  IpcCore();

  std::atomic<std::int32_t> client_id_{0};
  std::atomic<std::uint32_t> init_thread_id_{0};
  std::atomic<bool> stopped_{true};
  std::atomic<bool> global_{false};
  // The liveness mutex, held through a record of the source file so that this header needs nothing of
  // the platform layer. Present exactly while the process is joined.
  struct Liveness;
  std::unique_ptr<Liveness> liveness_mutex_;
  // Between an Init and its Uninit, whether or not that Init joined; joined_ only when it did.
  bool started_ = false;
  bool joined_ = false;
  std::mutex lock_;
  std::shared_ptr<IpcMsgHandler> handler_;
  std::shared_ptr<IpcQueryResponser> responder_;
  std::unique_ptr<IpcReceiver> receiver_;
  std::shared_ptr<IpcQualityMonitor> monitor_;
};

}  // namespace ipc
