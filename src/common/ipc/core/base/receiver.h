// The receive side of a joined bus: the client's own channel, one thread that takes raw messages off it,
// "decode_pool" that turns them into packets and "handler_pool" that dispatches them. Queries skip the
// handler pool and go to the query responder straight from the decode task.
#pragma once

#include <atomic>
#include <cstdint>
#include <future>
#include <memory>
#include <optional>
#include <string>

#include "common/ipc/core/base/thread_pool.h"
#include "spindrel/transport/channel.h"

namespace ipc {

class IpcReceiver {
 public:
  static constexpr std::int32_t kDecodeThreads = 4;
  static constexpr std::int32_t kHandlerThreads = 8;

  IpcReceiver() = default;
  // Waits for the receive thread.
  ~IpcReceiver();
  IpcReceiver(const IpcReceiver&) = delete;
  IpcReceiver& operator=(const IpcReceiver&) = delete;

  // Opens the bus client's channel in the given scope, connects as its receiver and starts the receive
  // thread. False, with nothing started and the reason logged, for a client without a name
  // ("client_name error!") or a channel that cannot be opened. When all 32 receiver places are taken it
  // says so in the log and starts anyway: the receive thread takes a place as soon as one frees, and a
  // new one whenever a sender evicts it, with a log line each time. Called once, with the bus running.
  bool Start(bool global);

  // Called after the bus was marked stopped: ends the receive thread, drains both pools and leaves the
  // channel. A pool with a task stuck for more than 5000 ms ends the whole process with exit code 0 in
  // the clients that prefer that to waiting (110006, 110009, 200001); the others wait for the task.
  void Stop();

  // Parses one received message and dispatches it; exposed for the decode pool and for tests.
  static void Decode(const std::string& text, ThreadPool* handler_pool);

 private:
  void ReceiveMsgThread();
  void DrainPool(std::unique_ptr<ThreadPool>& pool);

  std::optional<channel> channel_;
  std::string name_;
  std::future<void> receive_task_;
  // Set by Stop: the receiver may stop while the bus goes on sending (a join that failed half way).
  std::atomic<bool> stopping_{false};
  std::unique_ptr<ThreadPool> decode_pool_;
  std::unique_ptr<ThreadPool> handler_pool_;
};

}  // namespace ipc
